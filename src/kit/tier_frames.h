// One chunk's audio as the guests receive it: a complete wire frame for each quality
// tier encoded this chunk, null for the others. Every guest at a tier is handed the
// same immutable bytes. A plain value; the sender thread fills it and the server reads it.
#pragma once

#include <array>

#include "kit/frame_queue.h"
#include "kit/quality_tier.h"

namespace zoranth {

class TierFrames {
  public:
    const FrameQueue::Bytes& operator[](QualityTier tier) const {
        return frames_[static_cast<std::size_t>(tier.rawValue())];
    }
    FrameQueue::Bytes& operator[](QualityTier tier) {
        return frames_[static_cast<std::size_t>(tier.rawValue())];
    }
    bool empty() const {
        for (const auto& frame : frames_) {
            if (frame) {
                return false;
            }
        }
        return true;
    }
    // Lets go of every frame (the guests' queues keep their own references).
    void clear() {
        for (auto& frame : frames_) {
            frame.reset();
        }
    }

  private:
    std::array<FrameQueue::Bytes, QualityTier::count> frames_;
};

}  // namespace zoranth
