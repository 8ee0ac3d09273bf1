#include "platform/pulse/delivery_clock.h"

#include <algorithm>

namespace zoranth {

DeliveryClock::DeliveryClock(std::uint32_t rate, Tuning tuning)
    : rate_(rate == 0 ? 1 : rate), tuning_(tuning) {}

std::int64_t DeliveryClock::nanosFor(std::uint64_t frames, std::uint32_t rate) {
    const std::uint64_t seconds = frames / rate;
    const std::uint64_t rest = frames % rate;
    return static_cast<std::int64_t>(seconds * 1'000'000'000ull + rest * 1'000'000'000ull / rate);
}

std::uint64_t DeliveryClock::framesIn(std::int64_t nanos, std::uint32_t rate) {
    if (nanos <= 0) {
        return 0;
    }
    const auto whole = static_cast<std::uint64_t>(nanos);
    return whole / 1'000'000'000ull * rate + whole % 1'000'000'000ull * rate / 1'000'000'000ull;
}

std::optional<std::int64_t> DeliveryClock::anchorNanos() const {
    if (!anchored_) {
        return std::nullopt;
    }
    return anchor_;
}

std::int64_t DeliveryClock::timelineEnd() const {
    return anchor_ + nanosFor(framesSinceAnchor_, rate_);
}

// How much later than the timeline's end a delivery's frames start, taking its newest frame
// to be available the moment it arrives: the same as how far the anchor that delivery alone
// would give lies after the current one. Negative: the frames are older than the timeline.
std::int64_t DeliveryClock::offsetOf(std::int64_t arrival, std::uint64_t framesToEnd) const {
    return arrival - nanosFor(framesToEnd, rate_) - timelineEnd();
}

DeliveryClock::Stamp DeliveryClock::stamp(std::uint64_t arrivalNanos, std::uint32_t frames,
                                          std::uint64_t backlogFrames) {
    const auto arrival = static_cast<std::int64_t>(arrivalNanos);
    const std::uint64_t ownAndBacklog = frames + backlogFrames;
    quietSince_ = arrival;
    heard_ = true;
    Stamp result;

    if (!anchored_) {
        reanchor(arrival, ownAndBacklog);
    } else {
        const std::int64_t offset = offsetOf(arrival, ownAndBacklog);
        bool fresh = false;
        if (silent_ || breakPending_) {
            fresh = resumeAfterBreak(arrival, offset);
        } else if (offset > tuning_.jumpNanos) {
            fresh = lateFramesWereLost(arrival, offset);
        } else {
            lateSince_.reset();
        }
        if (fresh) {
            ++discontinuities_;
            result.discontinuity = true;
            reanchor(arrival, ownAndBacklog);
        } else if (offset < earliestOffset(arrival)) {
            // Dropping the covered frames keeps the timeline from stepping back.
            result.droppedFrames = static_cast<std::uint32_t>(
                std::min<std::uint64_t>(frames, framesIn(-offset, rate_)));
        } else {
            gatherWindow(arrival, arrival - nanosFor(framesSinceAnchor_ + ownAndBacklog, rate_));
            slew(frames);
        }
    }

    result.firstFrameNanos = static_cast<std::uint64_t>(timelineEnd());
    framesSinceAnchor_ += frames - result.droppedFrames;
    return result;
}

// The source resumes after silence, a suspension or a move. Where it carries on the
// timeline, the anchor is only measured again; where it resumes more than a jump after it
// (and no silence covered the time), its frames were never made: a fresh anchor.
bool DeliveryClock::resumeAfterBreak(std::int64_t arrival, std::int64_t offset) {
    const bool fresh = !silent_ && offset > tuning_.jumpNanos;
    if (silent_) {
        silenceEnded_ = arrival;
    }
    silent_ = false;
    breakPending_ = false;
    restartMeasurement(arrival);
    return fresh;
}

// Audio that arrives before the timeline says it was made has had its time covered already:
// by silence, which it must not overlap at all (or silence and audio together would last
// longer than the take), or by a backlog placed too late, of which only what lies more
// than a jump ahead goes.
std::int64_t DeliveryClock::earliestOffset(std::int64_t arrival) const {
    const bool afterSilence = silenceEnded_ && arrival - *silenceEnded_ < tuning_.windowNanos;
    return afterSilence ? -tuning_.deadbandNanos : -tuning_.jumpNanos;
}

// Late deliveries are usually a stall followed by its backlog, which arrives in a burst and
// brings the lateness down again, however long the burst takes. Only a lateness that stops
// shrinking and lasts means frames were lost.
bool DeliveryClock::lateFramesWereLost(std::int64_t arrival, std::int64_t offset) {
    if (!lateSince_ || offset < lateOffset_ - tuning_.jumpNanos / 2) {
        lateSince_ = arrival;
        lateOffset_ = offset;
        return false;
    }
    return arrival - *lateSince_ >= tuning_.confirmNanos;
}

std::uint64_t DeliveryClock::silenceDue(std::uint64_t nowNanos, bool suspended) const {
    if (!quietSince_) {
        return 0;
    }
    const auto now = static_cast<std::int64_t>(nowNanos);
    const std::int64_t wait = heard_ ? tuning_.silenceAfterNanos : tuning_.firstSilenceAfterNanos;
    if (!suspended && now - *quietSince_ < wait) {
        return 0;
    }
    // Before any delivery the timeline starts when the stream did.
    const std::int64_t end = anchored_ ? timelineEnd() : *quietSince_;
    return framesIn(now - end, rate_);
}

std::uint64_t DeliveryClock::silenceBefore(std::uint64_t arrivalNanos, std::uint32_t frames,
                                           std::uint64_t backlogFrames) const {
    if (!silent_) {
        return 0;
    }
    return framesIn(offsetOf(static_cast<std::int64_t>(arrivalNanos), frames + backlogFrames),
                    rate_);
}

DeliveryClock::Stamp DeliveryClock::stampSilence(std::uint32_t frames) {
    if (!anchored_) {
        anchored_ = true;
        anchor_ = quietSince_.value_or(0);
        framesSinceAnchor_ = 0;
    }
    silent_ = true;
    Stamp result;
    result.firstFrameNanos = static_cast<std::uint64_t>(timelineEnd());
    framesSinceAnchor_ += frames;
    return result;
}

void DeliveryClock::restart(std::uint64_t nowNanos) {
    breakPending_ = true;
    quietSince_ = static_cast<std::int64_t>(nowNanos);
    heard_ = false;
}

void DeliveryClock::reanchor(std::int64_t arrival, std::uint64_t framesToEnd) {
    anchored_ = true;
    breakPending_ = false;
    silent_ = false;
    silenceEnded_.reset();
    anchor_ = arrival - nanosFor(framesToEnd, rate_);
    framesSinceAnchor_ = 0;
    restartMeasurement(arrival);
}

void DeliveryClock::restartMeasurement(std::int64_t now) {
    lateSince_.reset();
    windowStart_ = now;
    windowMinCandidate_.reset();
    pendingCorrection_ = 0;
}

void DeliveryClock::gatherWindow(std::int64_t arrival, std::int64_t candidate) {
    windowMinCandidate_ = std::min(windowMinCandidate_.value_or(candidate), candidate);
    if (arrival - windowStart_ < tuning_.windowNanos) {
        return;
    }
    const std::int64_t error = *windowMinCandidate_ - anchor_;
    pendingCorrection_ =
        (error > tuning_.deadbandNanos || error < -tuning_.deadbandNanos) ? error : 0;
    windowStart_ = arrival;
    windowMinCandidate_.reset();
}

void DeliveryClock::slew(std::uint32_t frames) {
    if (pendingCorrection_ == 0) {
        return;
    }
    const std::int64_t limit = std::max<std::int64_t>(
        1, nanosFor(frames, rate_) * tuning_.slewPartsPerMillion / 1'000'000);
    const std::int64_t step = std::clamp(pendingCorrection_, -limit, limit);
    anchor_ += step;
    pendingCorrection_ -= step;
}

}  // namespace zoranth
