// Owner of the capture ring shared by the capture callback (its producer) and the sender
// thread or a terminal mode's loop (its consumer). Create and release it on any thread
// but the realtime one; the realtime callback only uses pointer() with the sr_ring calls.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>

#include "host/capture/host_error.h"
#include "ring/sr_ring.h"

namespace zoranth {

class CaptureRing {
    struct Key {};
    struct Destroy {
        void operator()(sr_ring* ring) const { sr_ring_destroy(ring); }
    };
    using Owned = std::unique_ptr<sr_ring, Destroy>;

  public:
    // What every capture starter asks for: 127 fillable slots of up to 4096 frames in up
    // to 8 channels.
    static constexpr std::uint32_t standardSlots = 128;
    static constexpr std::uint32_t standardMaxFramesPerSlot = 4096;
    static constexpr std::uint32_t standardMaxChannels = 8;

    static std::expected<std::shared_ptr<CaptureRing>, HostError> create(
        std::uint32_t slots, std::uint32_t maxFramesPerSlot, std::uint32_t maxChannels);
    static std::expected<std::shared_ptr<CaptureRing>, HostError> createStandard();

    CaptureRing(Key, Owned ring, std::uint32_t maxFramesPerSlot, std::uint32_t maxChannels);
    CaptureRing(const CaptureRing&) = delete;
    CaptureRing& operator=(const CaptureRing&) = delete;

    sr_ring* pointer() const { return ring_.get(); }
    std::uint32_t maxFramesPerSlot() const { return maxFramesPerSlot_; }
    std::uint32_t maxChannels() const { return maxChannels_; }

  private:
    const Owned ring_;
    const std::uint32_t maxFramesPerSlot_;
    const std::uint32_t maxChannels_;
};

}  // namespace zoranth
