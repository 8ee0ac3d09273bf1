// The built-in causal beat tracker: finds tempo, beat times and bar position in
// captured PCM, block by block. A plain value with no threads and no I/O; one owner
// calls it from one thread (the sender thread, or the beats mode's loop).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace zoranth {

class BeatTracker {
  public:
    // One beat the tracker has become sure of, stamped with the host time of its audio.
    struct Beat {
        std::uint64_t hostTimeNanos = 0;
        int beatInBar = 0;  // 1…4 once the bar phase is known (1 = downbeat), else 0
        double bpm = 0;
        double confidence = 0;

        bool isDownbeat() const { return beatInBar == 1; }
        bool operator==(const Beat&) const = default;
    };

    struct TempoEstimate {
        double period = 0;  // hops of 10 ms
        double confidence = 0;
    };

    // Beat period smoothing: small changes are blended in, a differing period is
    // taken only after three consecutive estimates agree with each other.
    struct PeriodHysteresis {
        enum class Outcome { first, smoothed, pending, changed };

        std::optional<double> period;
        std::optional<double> pendingPeriod;
        int pendingCount = 0;

        Outcome adopt(double estimate);
    };

    static constexpr int ringHops = 1600;
    static constexpr int windowHops = 800;
    static constexpr int analysisEveryHops = 50;

    explicit BeatTracker(double sampleRate);

    // Feeds `frames` frames of frame-interleaved float PCM whose first frame was
    // captured at `hostTimeNanos`; returns the beats completed by this block in time
    // order. Only whole frames present in `interleaved` are read.
    std::vector<Beat> process(std::span<const float> interleaved, int channels, std::size_t frames,
                              std::uint64_t hostTimeNanos);

    double sampleRate() const { return sampleRate_; }
    std::optional<double> bpm() const { return bpm_; }
    double confidence() const { return confidence_; }
    std::optional<int> downbeatPhase() const { return downbeatPhase_; }
    std::int64_t emitted() const { return emitted_; }
    bool usesKick() const { return usesKick_; }
    int hop() const { return hop_; }
    const PeriodHysteresis& periodState() const { return period_; }

    // The pure analysis steps, public so each can be checked on its own curves.
    // `detrended` subtracts a 25-hop moving mean and keeps the positive part; `out`
    // holds as many values as `curve`. `tempo` picks the beat period and rates it by
    // how periodic the curve is at that period and its next three multiples.
    static void detrended(std::span<const double> curve, std::span<double> out);
    static std::optional<TempoEstimate> tempo(std::span<const double> curve);
    static double periodicity(std::span<const double> curve, double lag);

  private:
    void closeHop();
    std::vector<Beat> analyse();
    void detrendedWindow(const std::vector<double>& ring, std::vector<double>& out);
    std::optional<double> snap(double position) const;
    Beat makeBeat(double at, double period);
    std::uint64_t hostNanos(double position) const;
    bool held(std::int64_t hop) const;
    static std::size_t slot(std::int64_t hop);

    double sampleRate_;
    std::optional<double> bpm_;
    double confidence_ = 0;
    std::optional<int> downbeatPhase_;
    std::int64_t emitted_ = 0;
    int hop_;
    std::vector<double> onset_;
    std::vector<double> kickOnset_;
    std::vector<std::array<double, 4>> bands_;
    std::vector<std::uint64_t> hopHost_;
    std::int64_t hops_ = 0;
    int filled_ = 0;
    // Each hop's band power is measured through a window two hops long that rises
    // linearly over the hop before and falls over the hop itself: `rising_` holds the
    // current hop's squares weighted for the next hop's window, `falling_` for this
    // one's, and `carried_` the previous hop's `rising_`.
    std::array<double, 4> rising_{};
    std::array<double, 4> falling_{};
    std::array<double, 4> carried_{};
    std::uint64_t hopStartHost_ = 0;
    std::array<double, 4> previousPower_{};
    std::array<double, 3> lp_{};
    std::array<double, 3> coefficients_{};
    PeriodHysteresis period_;
    double lastEmittedHop_ = -1'000'000'000.0;
    std::int64_t beatCount_ = 0;
    std::array<double, 4> barScore_{};
    std::vector<double> residuals_;
    bool usesKick_ = false;
    // Analysis scratch, sized once so an analysis does not allocate.
    std::vector<double> onsetWindow_;
    std::vector<double> kickWindow_;
    std::vector<double> rawWindow_;
};

}  // namespace zoranth
