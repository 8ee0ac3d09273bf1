// Converts interleaved chunks between rates in a whole ratio with a windowed-sinc
// polyphase filter (Blackman window, 32 taps per side); a 1/1 ratio passes through.
// A plain value owned by one thread (the pipeline's sender).
#pragma once

#include <cstddef>
#include <functional>
#include <span>
#include <vector>

namespace zoranth {

class Resampler {
public:
    // Output rate ÷ input rate as up/down, both > 0.
    class Ratio {
    public:
        constexpr Ratio(int up, int down) : up_(up), down_(down) {
            if (up <= 0 || down <= 0) invalid(up, down);
        }

        static const Ratio full;
        static const Ratio twoThirds;
        static const Ratio half;
        static const Ratio third;
        static const Ratio quarter;

        // The ratio that takes `from` to `to`, in lowest terms (both > 0).
        static Ratio reducing(int from, int to);

        constexpr int up() const { return up_; }
        constexpr int down() const { return down_; }
        constexpr bool isIdentity() const { return up_ == down_; }
        double outputRate(double from) const { return from * up_ / down_; }
        int outputFrames(int frames) const;
        // Whether a block of `frames` input frames maps to a whole number of output frames.
        bool divides(int frames) const;

        constexpr bool operator==(const Ratio&) const = default;

    private:
        [[noreturn]] static void invalid(int up, int down);

        int up_;
        int down_;
    };

    static constexpr int tapsPerPhase = 32;

    // channels > 0.
    Resampler(Ratio ratio, int channels);

    // Input frames by which the output lags the input: 0 when passing through.
    int latencyInputFrames() const { return ratio_.isIdentity() ? 0 : tapsPerPhase; }

    // Forgets past input, as after a gap in the stream.
    void reset();

    // Resamples the first `frames` interleaved frames of `input` (which must hold
    // that many) into `ratio.outputFrames(frames)` interleaved frames. A block whose
    // size the ratio does not divide gives no output and leaves the history alone.
    std::vector<float> process(std::span<const float> input, int frames);
    // The same into `output`, which keeps its capacity from call to call.
    void process(std::span<const float> input, int frames, std::vector<float>& output);

    Ratio ratio() const { return ratio_; }
    int channels() const { return channels_; }
    int kernelLength() const { return kernelLength_; }
    std::span<const float> kernel() const { return kernel_; }
    int historyFrames() const { return historyFrames_; }

private:
    void makeKernel();
    template <int FixedChannels>
    void filter(std::span<const float> input, int frames, float* out) const;
    void rememberHistory(std::span<const float> input, int frames);

    Ratio ratio_;
    int channels_;
    int kernelLength_ = 0;
    std::vector<float> kernel_;
    std::vector<float> history_;  // interleaved, the most recent historyFrames_ input frames
    int historyFrames_ = 0;
    // The kernel regrouped by phase: the taps of phase q (kernel[q], kernel[q + up], …)
    // start at phaseStart_[q], so each output frame reads one contiguous run.
    std::vector<float> phaseTaps_;
    std::vector<std::size_t> phaseStart_;
    // History followed by the first input frames: lets output frames that reach
    // back before the current block read one contiguous run too.
    std::vector<float> window_;
};

inline constexpr Resampler::Ratio Resampler::Ratio::full{1, 1};
inline constexpr Resampler::Ratio Resampler::Ratio::twoThirds{2, 3};
inline constexpr Resampler::Ratio Resampler::Ratio::half{1, 2};
inline constexpr Resampler::Ratio Resampler::Ratio::third{1, 3};
inline constexpr Resampler::Ratio Resampler::Ratio::quarter{1, 4};

}  // namespace zoranth

template <>
struct std::hash<zoranth::Resampler::Ratio> {
    std::size_t operator()(const zoranth::Resampler::Ratio& ratio) const noexcept {
        return std::hash<long long>{}((static_cast<long long>(ratio.up()) << 32) ^ ratio.down());
    }
};
