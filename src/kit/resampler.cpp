#include "kit/resampler.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numbers>
#include <numeric>

namespace zoranth {

namespace {

// Input frames an output frame reaches back over: the kernel spans this many
// input frames plus the one it is centred on.
constexpr int reach = 2 * Resampler::tapsPerPhase;

[[noreturn]] void preconditionFailure(const char* what) {
    std::fprintf(stderr, "Resampler: precondition failed: %s\n", what);
    std::abort();
}

}  // namespace

void Resampler::Ratio::invalid(int up, int down) {
    std::fprintf(stderr, "Resampler::Ratio: precondition failed: up %d and down %d must be > 0\n", up, down);
    std::abort();
}

Resampler::Ratio Resampler::Ratio::reducing(int from, int to) {
    if (from <= 0 || to <= 0) preconditionFailure("rates must be > 0");
    const int g = std::gcd(from, to);
    return Ratio(to / g, from / g);
}

int Resampler::Ratio::outputFrames(int frames) const {
    return static_cast<int>(static_cast<std::int64_t>(frames) * up_ / down_);
}

bool Resampler::Ratio::divides(int frames) const {
    return static_cast<std::int64_t>(frames) * up_ % down_ == 0;
}

Resampler::Resampler(Ratio ratio, int channels) : ratio_(ratio), channels_(channels) {
    if (channels <= 0) preconditionFailure("channels must be > 0");
    if (ratio_.isIdentity()) return;
    makeKernel();
    historyFrames_ = reach + 1;
    history_.assign(static_cast<std::size_t>(historyFrames_) * channels_, 0.0f);
    window_.assign(static_cast<std::size_t>(historyFrames_ + reach) * channels_, 0.0f);
}

void Resampler::makeKernel() {
    const int up = ratio_.up();
    kernelLength_ = 2 * tapsPerPhase * up + 1;
    const int centre = (kernelLength_ - 1) / 2;
    const double cutoff = 0.5 / std::max(up, ratio_.down());
    const double span = kernelLength_ - 1;
    constexpr double pi = std::numbers::pi;

    std::vector<double> taps(kernelLength_);
    for (int i = 0; i < kernelLength_; ++i) {
        const int offset = i - centre;
        const double h = offset == 0 ? 2 * cutoff : std::sin(2 * pi * cutoff * offset) / (pi * offset);
        const double w = 0.42 - 0.5 * std::cos(2 * pi * i / span) + 0.08 * std::cos(4 * pi * i / span);
        taps[i] = h * w;
    }
    // Scaling the whole kernel to sum to `up` gives each of the `up` phases unity gain.
    const double scale = std::accumulate(taps.begin(), taps.end(), 0.0) / up;
    kernel_.resize(kernelLength_);
    for (int i = 0; i < kernelLength_; ++i) kernel_[i] = static_cast<float>(taps[i] / scale);

    phaseTaps_.reserve(kernelLength_);
    phaseStart_.reserve(up + 1);
    for (int q = 0; q < up; ++q) {
        phaseStart_.push_back(phaseTaps_.size());
        for (int i = q; i < kernelLength_; i += up) phaseTaps_.push_back(kernel_[i]);
    }
    phaseStart_.push_back(phaseTaps_.size());
}

void Resampler::reset() {
    std::fill(history_.begin(), history_.end(), 0.0f);
}

std::vector<float> Resampler::process(std::span<const float> input, int frames) {
    std::vector<float> output;
    process(input, frames, output);
    return output;
}

void Resampler::process(std::span<const float> input, int frames, std::vector<float>& output) {
    output.clear();
    if (frames <= 0) return;
    const std::size_t inputSamples = static_cast<std::size_t>(frames) * channels_;
    if (input.size() < inputSamples) preconditionFailure("input is shorter than frames × channels");
    if (ratio_.isIdentity()) {
        output.assign(input.begin(), input.begin() + static_cast<std::ptrdiff_t>(inputSamples));
        return;
    }
    if (!ratio_.divides(frames)) return;

    output.resize(static_cast<std::size_t>(ratio_.outputFrames(frames)) * channels_);
    const std::size_t historySamples = history_.size();
    const std::size_t leading = static_cast<std::size_t>(std::min(frames, reach)) * channels_;
    std::memcpy(window_.data(), history_.data(), historySamples * sizeof(float));
    std::memcpy(window_.data() + historySamples, input.data(), leading * sizeof(float));

    switch (channels_) {
    case 1: filter<1>(input, frames, output.data()); break;
    case 2: filter<2>(input, frames, output.data()); break;
    default: filter<0>(input, frames, output.data()); break;
    }
    rememberHistory(input, frames);
}

// Output frame i sits at position p = i × down on the up-sampled grid; it sums the
// input frames k with p − (L − 1) ≤ k × up ≤ p, oldest first, each weighted by
// kernel[k × up − p + L − 1]. Those weights are one phase of the kernel, in order.
template <int FixedChannels>
void Resampler::filter(std::span<const float> input, int frames, float* out) const {
    const int channels = FixedChannels > 0 ? FixedChannels : channels_;
    const std::int64_t up = ratio_.up();
    const std::int64_t down = ratio_.down();
    const int outputFrames = ratio_.outputFrames(frames);
    for (int i = 0; i < outputFrames; ++i) {
        const std::int64_t p = i * down;
        const std::int64_t base = p / up;
        const std::int64_t rest = p - base * up;
        const std::size_t phase = rest == 0 ? 0 : static_cast<std::size_t>(up - rest);
        const std::int64_t first = base - reach + (rest == 0 ? 0 : 1);
        const float* taps = phaseTaps_.data() + phaseStart_[phase];
        const int count = static_cast<int>(phaseStart_[phase + 1] - phaseStart_[phase]);
        const float* src = first >= 0 ? input.data() + first * channels
                                      : window_.data() + (first + historyFrames_) * channels;
        float* dst = out + static_cast<std::size_t>(i) * channels;
        if constexpr (FixedChannels == 1) {
            float acc = 0.0f;
            for (int t = 0; t < count; ++t) acc += taps[t] * src[t];
            dst[0] = acc;
        } else if constexpr (FixedChannels == 2) {
            float left = 0.0f;
            float right = 0.0f;
            for (int t = 0; t < count; ++t) {
                left += taps[t] * src[2 * t];
                right += taps[t] * src[2 * t + 1];
            }
            dst[0] = left;
            dst[1] = right;
        } else {
            for (int c = 0; c < channels; ++c) {
                float acc = 0.0f;
                for (int t = 0; t < count; ++t) acc += taps[t] * src[static_cast<std::size_t>(t) * channels + c];
                dst[c] = acc;
            }
        }
    }
}

void Resampler::rememberHistory(std::span<const float> input, int frames) {
    const std::size_t keep = history_.size();
    const std::size_t incoming = static_cast<std::size_t>(frames) * channels_;
    if (incoming >= keep) {
        std::memcpy(history_.data(), input.data() + (incoming - keep), keep * sizeof(float));
        return;
    }
    std::memmove(history_.data(), history_.data() + incoming, (keep - incoming) * sizeof(float));
    std::memcpy(history_.data() + (keep - incoming), input.data(), incoming * sizeof(float));
}

}  // namespace zoranth
