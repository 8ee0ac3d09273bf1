// The timeline of one capture stream: the CLOCK_MONOTONIC time of a delivery's first frame is
// the anchor plus the frames delivered since it, divided by the rate, and silence stands in
// for audio the source stopped sending. Pure logic, fed the times; used by the one thread that
// delivers the audio.
#pragma once

#include <cstdint>
#include <optional>

namespace zoranth {

// The sound server's latency report jitters too much to stamp frames with, so the anchor is
// measured instead: the smallest (arrival - frame time) over about a second is the moment
// frames become available. The anchor only slews, slowly, so a steady stream gets stamps
// exactly frames / rate apart however late single deliveries arrive, and a backlog drained
// after a stall (the machine busy, the server or this thread held up) lands on the times its
// frames were made. A fresh anchor (one discontinuity) comes only where frames were really
// lost: deliveries stay more than 20 ms late for half a second without catching up, or a
// suspended or moved stream resumes more than 20 ms after the timeline. The timeline never
// steps back: frames that arrive before it says they were made are dropped, all of them
// where silence already covered their time (so silence and audio together last exactly as
// long as the take), those more than 20 ms early behind a fresh anchor placed too late.
class DeliveryClock {
  public:
    struct Tuning {
        std::int64_t windowNanos = 1'000'000'000;  // how long the minimum offset is gathered
        std::int64_t jumpNanos = 20'000'000;       // offsets further off than this: a break
        std::int64_t confirmNanos = 500'000'000;   // how long a late offset must last to count
        std::int64_t deadbandNanos = 1'000'000;    // anchor errors below this are left alone
        std::int64_t slewPartsPerMillion = 500;    // largest correction per delivered time
        // A source not heard from for this long has stopped (an idle sink): silence is due.
        // Far longer than a stall the machine recovers from, whose audio is only late.
        std::int64_t silenceAfterNanos = 500'000'000;
        // The same for a stream whose source has sent nothing yet, so none of its audio can
        // be held up: a sink still catching up after rendering ahead.
        std::int64_t firstSilenceAfterNanos = 100'000'000;
    };

    struct Stamp {
        std::uint64_t firstFrameNanos = 0;  // of the first frame kept
        // The stamp does not follow on from the previous delivery's end: a fresh anchor.
        bool discontinuity = false;
        // Frames at the start of the delivery whose time the timeline already covered:
        // the caller drops them, so no stretch of time is delivered twice.
        std::uint32_t droppedFrames = 0;
    };

    explicit DeliveryClock(std::uint32_t rate) : DeliveryClock(rate, Tuning{}) {}
    DeliveryClock(std::uint32_t rate, Tuning tuning);

    // A delivery of `frames` frames arrived at `arrivalNanos`; `backlogFrames` more frames
    // were already waiting behind it, so its frames are older than the arrival says.
    Stamp stamp(std::uint64_t arrivalNanos, std::uint32_t frames, std::uint64_t backlogFrames = 0);

    // Frames of silence due at `nowNanos`: those that bring the timeline up to now once the
    // source is suspended or has sent nothing for `silenceAfterNanos` (`firstSilenceAfterNanos`
    // after a start); none while it is merely late, nor before a stream started.
    std::uint64_t silenceDue(std::uint64_t nowNanos, bool suspended) const;
    // Frames of silence due before a delivery (arguments as for `stamp`) that ends the
    // timeline's silence: the time between the silence and where the source's audio
    // resumes, which nothing else covers.
    std::uint64_t silenceBefore(std::uint64_t arrivalNanos, std::uint32_t frames,
                                std::uint64_t backlogFrames = 0) const;
    // Stamps `frames` frames of silence that continue the timeline; never a discontinuity.
    Stamp stampSilence(std::uint32_t frames);

    // The stream was suspended, resumed or moved: the next delivery re-measures the anchor.
    void noteBreak() { breakPending_ = true; }
    // A new stream starts at `nowNanos`: a break, and its source has sent nothing yet.
    void restart(std::uint64_t nowNanos);

    // Fresh anchors so far, each a break in the timeline.
    std::uint64_t discontinuities() const { return discontinuities_; }
    std::uint32_t rate() const { return rate_; }
    // Where frame 0 of the current run sits on the monotonic clock; none before a delivery.
    std::optional<std::int64_t> anchorNanos() const;

    // Nanoseconds that `frames` frames last at `rate`, without overflow for any run length.
    static std::int64_t nanosFor(std::uint64_t frames, std::uint32_t rate);
    // Whole frames that fit in `nanos` nanoseconds at `rate`, rounded down.
    static std::uint64_t framesIn(std::int64_t nanos, std::uint32_t rate);

  private:
    std::int64_t timelineEnd() const;
    std::int64_t offsetOf(std::int64_t arrival, std::uint64_t framesToEnd) const;
    void reanchor(std::int64_t arrival, std::uint64_t framesToEnd);
    void restartMeasurement(std::int64_t now);
    bool resumeAfterBreak(std::int64_t arrival, std::int64_t offset);
    bool lateFramesWereLost(std::int64_t arrival, std::int64_t offset);
    std::int64_t earliestOffset(std::int64_t arrival) const;
    void gatherWindow(std::int64_t arrival, std::int64_t candidate);
    void slew(std::uint32_t frames);

    std::uint32_t rate_;
    Tuning tuning_;
    bool anchored_ = false;
    bool breakPending_ = false;
    bool silent_ = false;  // the timeline ends in silence
    // When the source's audio took over from silence: for a window after, none of it may
    // overlap the silence, however it arrives (a backlog may follow a first fresh delivery).
    std::optional<std::int64_t> silenceEnded_;
    std::int64_t anchor_ = 0;
    std::uint64_t framesSinceAnchor_ = 0;
    std::optional<std::int64_t> quietSince_;  // the source's last delivery, or the start
    bool heard_ = false;                      // the source delivered since the start
    std::optional<std::int64_t> lateSince_;
    std::int64_t lateOffset_ = 0;  // the offset when the lateness was last seen shrinking
    std::int64_t windowStart_ = 0;
    std::optional<std::int64_t> windowMinCandidate_;
    std::int64_t pendingCorrection_ = 0;
    std::uint64_t discontinuities_ = 0;
};

}  // namespace zoranth
