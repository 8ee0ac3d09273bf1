// Time stamps for captured deliveries on one steady timeline: the CLOCK_MONOTONIC time of
// a delivery's first frame is the anchor plus the frames delivered since it, divided by the
// rate. Pure logic, fed the arrival times; used by the one thread that delivers the audio.
#pragma once

#include <cstdint>
#include <optional>

namespace zoranth {

// The sound server's latency report jitters too much to stamp frames with, so the anchor is
// measured instead: the smallest (arrival - frame time) over about a second is the moment
// frames become available. Between real breaks the anchor only slews, slowly, so a steady
// stream gets stamps exactly frames / rate apart however late single deliveries arrive; a
// suspended or moved stream, a silence of more than 100 ms or an offset jump of more than
// 20 ms starts a fresh anchor and counts one discontinuity.
class DeliveryClock {
  public:
    struct Tuning {
        std::int64_t windowNanos = 1'000'000'000;  // how long the minimum offset is gathered
        std::int64_t gapNanos = 100'000'000;       // no delivery for longer than this: a break
        std::int64_t jumpNanos = 20'000'000;       // offsets further off than this: a break
        std::int64_t confirmNanos = 100'000'000;   // how long a late offset must last to count
        std::int64_t deadbandNanos = 1'000'000;    // anchor errors below this are left alone
        std::int64_t slewPartsPerMillion = 500;    // largest correction per delivered time
    };

    struct Stamp {
        std::uint64_t firstFrameNanos = 0;
        // The stamp does not follow on from the previous delivery's end: a fresh anchor after
        // a break, or that anchor stepping back while the backlog behind a stall drains.
        bool discontinuity = false;
    };

    explicit DeliveryClock(std::uint32_t rate) : DeliveryClock(rate, Tuning{}) {}
    DeliveryClock(std::uint32_t rate, Tuning tuning);

    // A delivery of `frames` frames arrived at `arrivalNanos`; `backlogFrames` more frames
    // were already waiting behind it, so its frames are older than the arrival says.
    Stamp stamp(std::uint64_t arrivalNanos, std::uint32_t frames, std::uint64_t backlogFrames = 0);

    // The stream was suspended, resumed or moved: the next delivery starts a fresh anchor.
    void noteBreak() { breakPending_ = true; }

    // Breaks so far: each started a fresh anchor.
    std::uint64_t discontinuities() const { return discontinuities_; }
    std::uint32_t rate() const { return rate_; }
    // Where frame 0 of the current run sits on the monotonic clock; none before a delivery.
    std::optional<std::int64_t> anchorNanos() const;

    // Nanoseconds that `frames` frames last at `rate`, without overflow for any run length.
    static std::int64_t nanosFor(std::uint64_t frames, std::uint32_t rate);

  private:
    void reanchor(std::int64_t arrival, std::uint64_t framesToEnd);
    void gatherWindow(std::int64_t arrival, std::int64_t candidate);
    void slew(std::uint32_t frames);

    std::uint32_t rate_;
    Tuning tuning_;
    bool anchored_ = false;
    bool breakPending_ = false;
    std::int64_t anchor_ = 0;
    std::int64_t anchorArrival_ = 0;
    std::uint64_t framesSinceAnchor_ = 0;
    std::int64_t lastArrival_ = 0;
    std::optional<std::int64_t> lateSince_;
    std::int64_t windowStart_ = 0;
    std::optional<std::int64_t> windowMinCandidate_;
    std::int64_t pendingCorrection_ = 0;
    std::uint64_t discontinuities_ = 0;
};

}  // namespace zoranth
