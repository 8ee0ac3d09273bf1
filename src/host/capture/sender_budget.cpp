#include "host/capture/sender_budget.h"

#include <algorithm>

namespace zoranth {

SenderBudget::Verdict SenderBudget::note(std::chrono::nanoseconds work, bool shedding) {
    sinceStep_ = std::min(sinceStep_ + 1, settleChunks);
    if (work > budget) {
        ++overRun_;
        calm_ = 0;
    } else {
        overRun_ = 0;
        ++calm_;
    }
    if (overRun_ >= overBudgetRun && sinceStep_ >= settleChunks) {
        overRun_ = 0;
        sinceStep_ = 0;
        if (!shedding) {
            if (shedBefore_) {
                calmNeeded_ = std::min(calmNeeded_ * 2, longestCalmChunks);
            }
            shedBefore_ = true;
        }
        return Verdict::shed;
    }
    if (shedding && calm_ >= calmNeeded_) {
        calm_ = 0;
        sinceStep_ = 0;
        return Verdict::restore;
    }
    return Verdict::steady;
}

}  // namespace zoranth
