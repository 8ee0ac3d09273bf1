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

std::optional<std::int64_t> DeliveryClock::anchorNanos() const {
    if (!anchored_) {
        return std::nullopt;
    }
    return anchor_;
}

DeliveryClock::Stamp DeliveryClock::stamp(std::uint64_t arrivalNanos, std::uint32_t frames,
                                          std::uint64_t backlogFrames) {
    const auto arrival = static_cast<std::int64_t>(arrivalNanos);
    const std::uint64_t ownAndBacklog = frames + backlogFrames;
    Stamp result;
    bool fresh = false;

    const bool gap = anchored_ && arrival - lastArrival_ > tuning_.gapNanos;
    if (!anchored_ || breakPending_ || gap) {
        fresh = anchored_;
        reanchor(arrival, ownAndBacklog);
    } else {
        // The anchor that would make this delivery's newest frame available right now.
        const std::int64_t candidate =
            arrival - nanosFor(framesSinceAnchor_ + ownAndBacklog, rate_);
        const std::int64_t offset = candidate - anchor_;
        if (offset < -tuning_.jumpNanos) {
            // Frames arrived before the timeline says they were made: the anchor is late.
            // Right after a fresh anchor that is the tail of a backlog being drained, part
            // of the same break; later it is a break of its own.
            if (arrival - anchorArrival_ < tuning_.confirmNanos) {
                anchor_ = candidate;
                result.discontinuity = true;
            } else {
                fresh = true;
                reanchor(arrival, ownAndBacklog);
            }
        } else if (offset > tuning_.jumpNanos) {
            // Late deliveries are usually a scheduling hiccup followed by a catch-up burst;
            // only a lateness that lasts means frames were lost.
            if (!lateSince_) {
                lateSince_ = arrival;
            } else if (arrival - *lateSince_ >= tuning_.confirmNanos) {
                fresh = true;
                reanchor(arrival, ownAndBacklog);
            }
        } else {
            lateSince_.reset();
        }
        if (!fresh) {
            gatherWindow(arrival, candidate);
            slew(frames);
        }
    }

    if (fresh) {
        ++discontinuities_;
        result.discontinuity = true;
    }
    result.firstFrameNanos =
        static_cast<std::uint64_t>(anchor_ + nanosFor(framesSinceAnchor_, rate_));
    framesSinceAnchor_ += frames;
    lastArrival_ = arrival;
    return result;
}

void DeliveryClock::reanchor(std::int64_t arrival, std::uint64_t framesToEnd) {
    anchored_ = true;
    breakPending_ = false;
    anchor_ = arrival - nanosFor(framesToEnd, rate_);
    anchorArrival_ = arrival;
    framesSinceAnchor_ = 0;
    lateSince_.reset();
    windowStart_ = arrival;
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
