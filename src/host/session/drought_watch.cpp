#include "host/session/drought_watch.h"

namespace zoranth {

DroughtWatch::Stage DroughtWatch::update(double nowSeconds, std::optional<double> liveSince,
                                         std::int64_t totalAccepted) {
    if (totalAccepted > 0)
        everHadGuest_ = true;

    if (liveSince && !everHadGuest_) {
        const double liveFor = nowSeconds - *liveSince;
        if (liveFor >= investigateAfterSeconds) {
            stage_ = Stage::investigate();
            // The standing stage stays investigate, but the request itself is made once.
            if (didInvestigate_)
                return Stage::fine();
            didInvestigate_ = true;
            return stage_;
        }
        if (liveFor >= quietAfterSeconds) {
            stage_ = Stage::quiet(liveFor);
            return stage_;
        }
    }
    stage_ = Stage::fine();
    return stage_;
}

}  // namespace zoranth
