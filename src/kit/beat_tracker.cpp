#include "kit/beat_tracker.h"

#include <algorithm>
#include <cmath>
#include <numbers>

// Beat times must not depend on the compiler's choice to fuse multiply-adds.
#ifdef __clang__
#pragma clang fp contract(off)
#endif

namespace zoranth {

namespace {

constexpr double hopsPerSecond = 100.0;  // timing always takes a hop to be 10 ms
constexpr double bpmPerHop = 60.0 * hopsPerSecond;
constexpr double minimumConfidence = 0.15;
constexpr int horizonHops = 50;
constexpr int firstLag = 31;  // 193.5 BPM
constexpr int lastLag = 86;   // 69.8 BPM
constexpr int maxLag = 173;   // reach of the double-period term
constexpr int meanRadius = 12;
constexpr int snapRadius = 3;
constexpr std::size_t maxResiduals = 8;
// A band's onset is its rise above 1.2 times the previous hop's power (0.8 dB): the
// wobble of a tone's measured power, a vibrato or a slow swell rise less than that
// from hop to hop, a struck sound far more, and the step is the same at any level.
constexpr double onsetStep = 1.2;
// A beat repeats at every multiple of its period; the confidence asks for the
// periodicity at the first four, which chance periodicity in noise rarely shows.
constexpr int periodMultiples = 4;
constexpr int barSlots = 4;
constexpr int beatsBeforeBarPhase = 16;

double sumOf(std::span<const double> values) {
    double sum = 0;
    for (double v : values) sum += v;
    return sum;
}

double meanOf(std::span<const double> values) {
    return values.empty() ? 0.0 : sumOf(values) / static_cast<double>(values.size());
}

// Σ_{k=lag}^{n−1} c_k·c_{k−lag} of the curve centred on `mean`.
double laggedProduct(std::span<const double> x, double mean, std::size_t lag) {
    double sum = 0;
    for (std::size_t k = lag; k < x.size(); ++k) sum += (x[k] - mean) * (x[k - lag] - mean);
    return sum;
}

double centredEnergy(std::span<const double> x, double mean) {
    return laggedProduct(x, mean, 0);
}

// Linear interpolation of the curve at a fractional index; the last sample stands
// in for the one past the end.
double sampleAt(std::span<const double> curve, double t) {
    const double floorT = std::floor(t);
    const auto i = static_cast<std::size_t>(floorT);
    const double a = curve[i];
    const double b = i + 1 < curve.size() ? curve[i + 1] : curve.back();
    return a + (b - a) * (t - floorT);
}

std::int64_t roundedHop(double position) {
    return static_cast<std::int64_t>(std::round(position));
}

}  // namespace

BeatTracker::PeriodHysteresis::Outcome BeatTracker::PeriodHysteresis::adopt(double estimate) {
    constexpr double tolerance = 0.04;
    constexpr int confirmations = 3;
    if (!period) {
        period = estimate;
        return Outcome::first;
    }
    if (std::abs(estimate / *period - 1.0) < tolerance) {
        period = 0.2 * estimate + 0.8 * *period;
        pendingPeriod.reset();
        pendingCount = 0;
        return Outcome::smoothed;
    }
    if (pendingPeriod && std::abs(estimate / *pendingPeriod - 1.0) < tolerance) {
        if (++pendingCount >= confirmations) {
            period = estimate;
            pendingPeriod.reset();
            pendingCount = 0;
            return Outcome::changed;
        }
        return Outcome::pending;
    }
    pendingPeriod = estimate;
    pendingCount = 1;
    return Outcome::pending;
}

BeatTracker::BeatTracker(double sampleRate)
    : sampleRate_(sampleRate),
      // A hop shorter than one sample cannot be measured; rates below 50 Hz get one.
      hop_(std::max(1, static_cast<int>(std::lround(sampleRate / hopsPerSecond)))),
      onset_(ringHops, 0.0),
      kickOnset_(ringHops, 0.0),
      bands_(ringHops, std::array<double, 4>{}),
      hopHost_(ringHops, 0),
      onsetWindow_(windowHops, 0.0),
      kickWindow_(windowHops, 0.0),
      rawWindow_(windowHops, 0.0) {
    constexpr std::array<double, 3> cutoffsHz{150.0, 600.0, 3000.0};
    for (std::size_t k = 0; k < cutoffsHz.size(); ++k)
        coefficients_[k] = 1.0 - std::exp(-2.0 * std::numbers::pi * cutoffsHz[k] / sampleRate);
    residuals_.reserve(maxResiduals + 1);
}

std::vector<BeatTracker::Beat> BeatTracker::process(std::span<const float> interleaved,
                                                    int channels, std::size_t frames,
                                                    std::uint64_t hostTimeNanos) {
    std::vector<Beat> beats;
    if (channels <= 0)
        return beats;
    const auto width = static_cast<std::size_t>(channels);
    frames = std::min(frames, interleaved.size() / width);
    const double nanosPerFrame = 1e9 / sampleRate_;
    for (std::size_t i = 0; i < frames; ++i) {
        double sum = 0;
        for (std::size_t ch = 0; ch < width; ++ch) sum += interleaved[i * width + ch];
        double x = sum / static_cast<double>(channels);
        // One corrupt sample would otherwise poison the filter states for good.
        if (!std::isfinite(x))
            x = 0;
        if (filled_ == 0)
            hopStartHost_ =
                hostTimeNanos + static_cast<std::uint64_t>(nanosPerFrame * static_cast<double>(i));
        for (std::size_t k = 0; k < lp_.size(); ++k) lp_[k] += coefficients_[k] * (x - lp_[k]);
        const double high = x - lp_[2];
        const double mid = lp_[2] - lp_[1];
        const double lowMid = lp_[1] - lp_[0];
        const std::array<double, 4> squares{lp_[0] * lp_[0], lowMid * lowMid, mid * mid,
                                            high * high};
        // Each sample counts in two windows whose weights add up to one: rising in
        // the next hop's, falling in this one's.
        const double rise = (filled_ + 0.5) / hop_;
        for (std::size_t b = 0; b < squares.size(); ++b) {
            const double weighted = rise * squares[b];
            rising_[b] += weighted;
            falling_[b] += squares[b] - weighted;
        }
        if (++filled_ < hop_)
            continue;
        closeHop();
        filled_ = 0;
        if (hops_ >= windowHops && hops_ % analysisEveryHops == 0) {
            std::vector<Beat> found = analyse();
            beats.insert(beats.end(), found.begin(), found.end());
        }
    }
    return beats;
}

void BeatTracker::closeHop() {
    constexpr std::array<double, 4> onsetWeights{0.7, 0.8, 0.9, 1.0};
    const std::size_t s = slot(hops_);
    std::array<double, 4> flux{};
    for (std::size_t b = 0; b < flux.size(); ++b) {
        // A block of one hop holds a fraction of a tone's last cycle that changes
        // from hop to hop, so a steady tone's block power wobbles in step with the
        // hop (13 % at 220 Hz, 55 % at 40 Hz); through the two-hop triangle its rise
        // from one hop to the next stays under 10 % from 40 Hz up, below onsetStep.
        const double power = (carried_[b] + falling_[b]) / hop_;
        carried_[b] = rising_[b];
        rising_[b] = 0;
        falling_[b] = 0;
        const double logEnergy = std::log1p(1000.0 * power);
        flux[b] = std::max(0.0, logEnergy - std::log1p(1000.0 * onsetStep * previousPower_[b]));
        previousPower_[b] = power;
        bands_[s][b] = logEnergy;
    }
    kickOnset_[s] = flux[0];
    double weighted = 0;
    for (std::size_t b = 0; b < flux.size(); ++b) weighted += onsetWeights[b] * flux[b];
    onset_[s] = weighted;
    hopHost_[s] = hopStartHost_;
    ++hops_;
}

void BeatTracker::detrended(std::span<const double> curve, std::span<double> out) {
    const auto n = static_cast<std::ptrdiff_t>(curve.size());
    for (std::ptrdiff_t i = 0; i < n; ++i) {
        const std::ptrdiff_t from = std::max<std::ptrdiff_t>(0, i - meanRadius);
        const std::ptrdiff_t to = std::min<std::ptrdiff_t>(n - 1, i + meanRadius);
        const double mean = meanOf(
            curve.subspan(static_cast<std::size_t>(from), static_cast<std::size_t>(to - from + 1)));
        out[static_cast<std::size_t>(i)] = std::max(0.0, curve[static_cast<std::size_t>(i)] - mean);
    }
}

void BeatTracker::detrendedWindow(const std::vector<double>& ring, std::vector<double>& out) {
    const std::int64_t first = hops_ - windowHops;
    for (std::size_t i = 0; i < rawWindow_.size(); ++i)
        rawWindow_[i] = ring[slot(first + static_cast<std::int64_t>(i))];
    detrended(rawWindow_, out);
}

std::optional<BeatTracker::TempoEstimate> BeatTracker::tempo(std::span<const double> curve) {
    const std::size_t n = curve.size();
    if (n == 0)
        return std::nullopt;
    const double mean = meanOf(curve);
    const double energy = centredEnergy(curve, mean);
    if (energy <= 1e-9)
        return std::nullopt;

    std::array<double, maxLag + 1> autocorrelation{};
    const std::size_t reach = std::min<std::size_t>(n - 1, maxLag);
    const auto count = static_cast<double>(n);
    for (std::size_t lag = firstLag; lag <= reach; ++lag)
        autocorrelation[lag] =
            count * laggedProduct(curve, mean, lag) / (count - static_cast<double>(lag));

    // A log-normal prior centred on 120 BPM, about 0.9 octave wide, favours the
    // common dance tempi over their halves and doubles.
    double bestScore = 0;
    int best = 0;
    for (int lag = firstLag; lag <= lastLag; ++lag) {
        const double z = std::log2(bpmPerHop / lag / 120.0) / 0.9;
        const double prior = std::exp(-0.5 * z * z);
        const double score =
            prior * (autocorrelation[lag] + 0.5 * autocorrelation[std::min(maxLag, 2 * lag)]);
        if (score > bestScore) {
            bestScore = score;
            best = lag;
        }
    }
    if (best == 0)
        return std::nullopt;

    const double peak = autocorrelation[best];
    double period = best;
    if (best > firstLag && best < lastLag) {
        const double before = autocorrelation[best - 1];
        const double after = autocorrelation[best + 1];
        const double curvature = before - 2.0 * peak + after;
        if (curvature != 0)
            period += std::clamp(0.5 * (before - after) / curvature, -0.5, 0.5);
    }
    double evidence = peak;
    int multiples = 1;
    for (int k = 2; k <= periodMultiples; ++k) {
        const auto lag = static_cast<std::size_t>(std::lround(k * period));
        if (lag >= n)
            break;
        evidence += count * laggedProduct(curve, mean, lag) / (count - static_cast<double>(lag));
        ++multiples;
    }
    // An anti-correlated curve carries no evidence of a beat: confidence stays in 0…1.
    return TempoEstimate{period, std::clamp(evidence / multiples / energy, 0.0, 1.0)};
}

double BeatTracker::periodicity(std::span<const double> curve, double lag) {
    const double rounded = std::round(lag);
    const auto n = static_cast<double>(curve.size());
    if (!(rounded >= 1) || rounded >= n)
        return 0;
    const double mean = meanOf(curve);
    const double energy = centredEnergy(curve, mean);
    if (energy <= 1e-12)
        return 0;
    return laggedProduct(curve, mean, static_cast<std::size_t>(rounded)) / energy * n /
           (n - rounded);
}

std::vector<BeatTracker::Beat> BeatTracker::analyse() {
    detrendedWindow(onset_, onsetWindow_);
    const std::optional<TempoEstimate> estimate = tempo(onsetWindow_);
    if (!estimate) {
        confidence_ = 0;
        return {};
    }
    confidence_ = estimate->confidence;
    if (confidence_ < minimumConfidence)
        return {};
    if (period_.adopt(estimate->period) == PeriodHysteresis::Outcome::changed) {
        barScore_ = {};
        residuals_.clear();
    }
    const double w = *period_.period;
    bpm_ = bpmPerHop / w;

    detrendedWindow(kickOnset_, kickWindow_);
    const double kickShare = sumOf(kickWindow_) / std::max(sumOf(onsetWindow_), 1e-9);
    usesKick_ = kickShare > 0.15 && periodicity(kickWindow_, w) > 0.35;
    const std::span<const double> phaseCurve = usesKick_ ? kickWindow_ : onsetWindow_;

    // Comb search for the phase: which offset back from the newest hop lines the
    // grid up with the strongest onsets, the recent ones weighing most.
    double bestPhase = 0;
    if (w > 0) {
        const double newest = static_cast<double>(phaseCurve.size() - 1);
        double bestScore = -1;
        for (int step = 0; 0.5 * step < w; ++step) {
            const double phase = 0.5 * step;
            double score = 0;
            double weight = 1;
            for (int j = 0; newest - phase - j * w >= 0; ++j) {
                score += weight * sampleAt(phaseCurve, newest - phase - j * w);
                weight *= 0.92;
            }
            if (score > bestScore) {
                bestScore = score;
                bestPhase = phase;
            }
        }
    }

    const double anchor = static_cast<double>(hops_ - 1) - bestPhase;
    const double horizon = static_cast<double>(hops_ - horizonHops);
    double m = lastEmittedHop_ < 0 ? std::ceil((horizon - 4.0 * w - anchor) / w)
                                   : std::ceil((lastEmittedHop_ + 0.5 * w - anchor) / w);
    // After a long gap the grid would reach back past the rings, where neither the
    // audio nor its host time is held any more; resume with the oldest beat still held
    // (the margin covers the largest snap offset).
    const double oldestPlaceable = static_cast<double>(hops_ - ringHops + snapRadius);
    m = std::max(m, std::ceil((oldestPlaceable - anchor) / w));

    std::vector<Beat> beats;
    for (double position = anchor + m * w; position <= horizon; m += 1, position = anchor + m * w) {
        if (position <= lastEmittedHop_ + 0.5 * w)
            continue;
        if (const std::optional<double> peak = snap(position)) {
            residuals_.push_back(*peak - position);
            if (residuals_.size() > maxResiduals)
                residuals_.erase(residuals_.begin());
        }
        std::array<double, maxResiduals + 1> sorted{};
        std::copy(residuals_.begin(), residuals_.end(), sorted.begin());
        const auto held = sorted.begin() + static_cast<std::ptrdiff_t>(residuals_.size());
        std::sort(sorted.begin(), held);
        const double offset = residuals_.empty() ? 0.0 : sorted[residuals_.size() / 2];
        beats.push_back(makeBeat(position + offset + 0.5, w));
        lastEmittedHop_ = position;
    }
    return beats;
}

std::optional<double> BeatTracker::snap(double position) const {
    const std::vector<double>& curve = usesKick_ ? kickOnset_ : onset_;
    const std::int64_t centre = roundedHop(position);
    double bestValue = -1;
    std::optional<std::int64_t> best;
    for (std::int64_t h = centre - snapRadius; h <= centre + snapRadius; ++h) {
        if (!held(h))
            continue;
        if (curve[slot(h)] > bestValue) {
            bestValue = curve[slot(h)];
            best = h;
        }
    }
    if (!best || bestValue <= 0.05)
        return std::nullopt;
    return static_cast<double>(*best);
}

BeatTracker::Beat BeatTracker::makeBeat(double at, double period) {
    const std::int64_t centre = roundedHop(at);
    const int reach = std::max(2, static_cast<int>(period / 2));
    std::array<double, 4> before{};
    std::array<double, 4> after{};
    for (int i = 1; i <= reach; ++i) {
        for (std::size_t b = 0; b < before.size(); ++b) {
            if (held(centre - i))
                before[b] += bands_[slot(centre - i)][b] / reach;
            if (held(centre + i))
                after[b] += bands_[slot(centre + i)][b] / reach;
        }
    }
    double strike = 0;
    for (std::int64_t h = centre - 2; h <= centre + 2; ++h)
        if (held(h))
            strike = std::max(strike, onset_[slot(h)]);

    // Downbeats change the band energies most and strike hardest; the evidence is
    // kept per slot of the four-beat bar and slowly forgotten.
    for (double& score : barScore_) score *= 0.93;
    const int q = static_cast<int>(beatCount_ % barSlots);
    double change = 0;
    for (std::size_t b = 0; b < before.size(); ++b) change += std::abs(after[b] - before[b]);
    barScore_[static_cast<std::size_t>(q)] += 2.0 * change + strike;
    ++beatCount_;

    int best = 0;
    for (int s = 1; s < barSlots; ++s)
        if (barScore_[static_cast<std::size_t>(s)] > barScore_[static_cast<std::size_t>(best)])
            best = s;

    if (!downbeatPhase_) {
        if (beatCount_ >= beatsBeforeBarPhase)
            downbeatPhase_ = best;
    } else if (*downbeatPhase_ != best &&
               barScore_[static_cast<std::size_t>(*downbeatPhase_)] * 1.25 <
                   barScore_[static_cast<std::size_t>(best)]) {
        downbeatPhase_ = best;
    }
    const int beatInBar = downbeatPhase_ ? (q - *downbeatPhase_ + barSlots) % barSlots + 1 : 0;

    ++emitted_;
    return Beat{hostNanos(at), beatInBar, bpmPerHop / period, confidence_};
}

std::uint64_t BeatTracker::hostNanos(double position) const {
    const double whole = std::floor(position);
    const auto h = static_cast<std::int64_t>(whole);
    return hopHost_[slot(h)] + static_cast<std::uint64_t>((position - whole) * 1e9 / hopsPerSecond);
}

bool BeatTracker::held(std::int64_t hop) const {
    return hop >= 0 && hop < hops_ && hops_ - hop <= ringHops;
}

std::size_t BeatTracker::slot(std::int64_t hop) {
    return static_cast<std::size_t>(hop % ringHops);
}

}  // namespace zoranth
