// Keeps the sender thread inside the time a chunk lasts. Told how long each chunk's work
// took, it says when to shed work and when the calm has lasted long enough to take it all
// back. A sender that falls behind for good lets the capture ring overflow, which every
// guest hears; shedding a little quality early is what nobody hears. A plain value, driven
// by the sender thread alone.
#pragma once

#include <chrono>

namespace zoranth {

class SenderBudget {
  public:
    enum class Verdict { steady, shed, restore };

    // Three quarters of a 20 ms chunk: the rest is for draining the ring and for the odd
    // late wake-up of the sender's own pass.
    static constexpr std::chrono::microseconds budget{15000};
    // Chunks over budget in a row before a step is taken: one slow chunk (a page fault, a
    // priming encode) is not a sender falling behind, and the ring holds over a second.
    static constexpr int overBudgetRun = 3;
    // Chunks after a step before the next one, so that a step has time to tell.
    static constexpr int settleChunks = 50;
    // Chunks within budget before what was shed comes back (30 s); each time shedding
    // starts again it waits twice as long, up to five minutes, so that a machine that
    // cannot carry everything does not swing back and forth.
    static constexpr int firstCalmChunks = 1500;
    static constexpr int longestCalmChunks = 15000;

    // `shedding`: whether the sender is shedding anything now.
    Verdict note(std::chrono::nanoseconds work, bool shedding);

    int calmNeeded() const { return calmNeeded_; }

  private:
    int overRun_ = 0;
    int calm_ = 0;
    int sinceStep_ = settleChunks;
    int calmNeeded_ = firstCalmChunks;
    bool shedBefore_ = false;
};

}  // namespace zoranth
