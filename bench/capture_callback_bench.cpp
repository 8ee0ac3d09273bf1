// The capture callback's copy: one 480-frame delivery (10 ms at 48 kHz) de-interleaved into
// the next ring slot, as the sound server's event thread runs it for every delivery. The
// consumer side releases each slot at once so the ring never fills. Reported as time per
// delivery and as deliveries per second (items); one delivery lasts 10 ms, so the callback's
// share of real time is 100 / items_per_second.
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "host/capture/capture_ring.h"
#include "host/capture/tap_session.h"

namespace zoranth {
namespace {

void captureCallback(benchmark::State& state, std::uint32_t channels, bool silent) {
    constexpr std::uint32_t frames = 480;
    auto ring = *CaptureRing::createStandard();
    TapSession::RingTarget target{ring->pointer(), ring->maxFramesPerSlot(), ring->maxChannels(),
                                  channels};
    std::vector<float> samples(std::size_t{frames} * channels);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<float>(std::sin(0.01 * static_cast<double>(i)));
    }
    CaptureDelivery delivery{silent ? nullptr : samples.data(), frames, channels,
                             frames * channels * 4, 0};

    for (auto _ : state) {
        delivery.hostTimeNanos += 10'000'000;
        TapSession::deliverToRing(&target, delivery);
        sr_ring_begin_read(ring->pointer());
        sr_ring_commit_read(ring->pointer());
    }
    benchmark::DoNotOptimize(sr_ring_writes(ring->pointer()));
    if (sr_ring_overruns(ring->pointer()) != 0) {
        state.SkipWithError("the ring overran");
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * std::int64_t{frames} * channels * 4);
}

BENCHMARK_CAPTURE(captureCallback, stereo, 2u, false);
BENCHMARK_CAPTURE(captureCallback, stereo_silence, 2u, true);
BENCHMARK_CAPTURE(captureCallback, eight_channels, 8u, false);

}  // namespace
}  // namespace zoranth
