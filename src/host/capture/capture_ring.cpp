#include "host/capture/capture_ring.h"

#include <utility>

namespace zoranth {

std::expected<std::shared_ptr<CaptureRing>, HostError> CaptureRing::create(
    std::uint32_t slots, std::uint32_t maxFramesPerSlot, std::uint32_t maxChannels) {
    Owned ring(sr_ring_create(slots, maxFramesPerSlot, maxChannels));
    if (!ring) {
        return std::unexpected(HostError{HostError::Case::ringAllocationFailed});
    }
    return std::make_shared<CaptureRing>(Key{}, std::move(ring), maxFramesPerSlot, maxChannels);
}

std::expected<std::shared_ptr<CaptureRing>, HostError> CaptureRing::createStandard() {
    return create(standardSlots, standardMaxFramesPerSlot, standardMaxChannels);
}

CaptureRing::CaptureRing(Key, Owned ring, std::uint32_t maxFramesPerSlot, std::uint32_t maxChannels)
    : ring_(std::move(ring)), maxFramesPerSlot_(maxFramesPerSlot), maxChannels_(maxChannels) {}

}  // namespace zoranth
