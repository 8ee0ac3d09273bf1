#include "kit/beat_tracker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "beat_click_track.h"

namespace zoranth {
namespace {

using Beat = BeatTracker::Beat;

constexpr double kRate = 48000;
constexpr std::uint64_t kHostBase = 1'000'000'000'000;  // a host clock that has run a while

// Seconds from `time` to the nearest of `clicks`.
double distanceToClick(double time, const std::vector<double>& clicks) {
    double best = std::numeric_limits<double>::infinity();
    for (double click : clicks) best = std::min(best, std::abs(time - click));
    return best;
}

// ---------------------------------------------------------------------------
// Tempo and beat times on steady click tracks

struct RateCase {
    double rate;
    int hop;
};

class BeatTrackerSteadyClicks : public testing::TestWithParam<RateCase> {};

TEST_P(BeatTrackerSteadyClicks, FindsTempoAndPutsBeatsOnTheClicksInTheInputsOwnTime) {
    const auto [rate, hop] = GetParam();
    auto pcm = BeatClickTrack::silence(rate, 12);
    const auto clicks = BeatClickTrack::addClicks(pcm, rate, 0.25, 12, 120);
    BeatTracker tracker(rate);
    BeatFeeder feeder{tracker, rate, kHostBase};

    const auto beats = feeder.feed(pcm);

    EXPECT_EQ(tracker.hop(), hop);
    ASSERT_TRUE(tracker.bpm().has_value());
    EXPECT_NEAR(*tracker.bpm(), 120, 0.5);
    EXPECT_GE(tracker.confidence(), 0.15);
    ASSERT_GE(beats.size(), 10u);
    for (std::size_t i = 0; i < beats.size(); ++i) {
        const double at = feeder.secondsOf(beats[i]);
        // A beat is stamped in the middle of the hop its click starts in.
        EXPECT_LT(distanceToClick(at, clicks), 0.012) << "beat " << i << " at " << at;
        EXPECT_NEAR(beats[i].bpm, 120, 0.5);
        if (i > 0) {
            EXPECT_NEAR(at - feeder.secondsOf(beats[i - 1]), 0.5, 0.011) << "beat " << i;
        }
    }
    // Every beat lies at least half a second behind the newest audio.
    EXPECT_LE(feeder.secondsOf(beats.back()), 12 - 0.5);
}

INSTANTIATE_TEST_SUITE_P(BeatRates, BeatTrackerSteadyClicks,
                         testing::Values(RateCase{48000, 480}, RateCase{44100, 441},
                                         RateCase{22050, 221}),
                         [](const auto& info) {
                             return std::to_string(static_cast<int>(info.param.rate)) + "Hz";
                         });

TEST(BeatTrackerWarmUp, NothingBeforeEightSecondsThenTheLastFourPeriodsBeforeTheHorizon) {
    auto pcm = BeatClickTrack::silence(kRate, 8);
    BeatClickTrack::addClicks(pcm, kRate, 0.25, 8, 120);
    BeatTracker tracker(kRate);
    BeatFeeder feeder{tracker, kRate, kHostBase};
    const std::size_t warmUp = 800 * 480;

    const auto early = feeder.feed(std::span<const float>(pcm).first(warmUp - 1));
    EXPECT_TRUE(early.empty());
    EXPECT_FALSE(tracker.bpm().has_value());

    const auto first = feeder.feed(std::span<const float>(pcm).subspan(warmUp - 1));
    ASSERT_GE(first.size(), 4u);
    EXPECT_LE(first.size(), 5u);
    EXPECT_EQ(tracker.emitted(), static_cast<std::int64_t>(first.size()));
    EXPECT_LE(feeder.secondsOf(first.back()), 8 - 0.5);
    EXPECT_GE(feeder.secondsOf(first.front()), 8 - 0.5 - 4 * 0.5 - 0.02);
}

// ---------------------------------------------------------------------------
// Bar position

TEST(BeatTrackerBar, AccentedEveryFourthClickBecomesTheDownbeatFromTheSixteenthBeat) {
    auto pcm = BeatClickTrack::silence(kRate, 17);
    const auto clicks = BeatClickTrack::addClicks(pcm, kRate, 0.25, 17, 120, 4);
    BeatTracker tracker(kRate);
    BeatFeeder feeder{tracker, kRate, kHostBase};

    const auto beats = feeder.feed(pcm);

    ASSERT_GE(beats.size(), 20u);
    for (std::size_t i = 0; i < beats.size(); ++i) {
        if (i + 1 < 16) {
            EXPECT_EQ(beats[i].beatInBar, 0) << "beat " << i + 1;
            continue;
        }
        const double at = feeder.secondsOf(beats[i]);
        const auto click = static_cast<int>(std::lround((at - 0.25) / 0.5));
        EXPECT_EQ(beats[i].beatInBar, click % 4 + 1) << "beat " << i + 1 << " at " << at;
        EXPECT_EQ(beats[i].isDownbeat(), click % 4 == 0);
    }
    ASSERT_TRUE(tracker.downbeatPhase().has_value());
    EXPECT_LT(distanceToClick(feeder.secondsOf(beats.back()), clicks), 0.012);
}

// ---------------------------------------------------------------------------
// Click tracks and drum patterns

// Feeds the signal half a second at a time, so that each feed ends with one
// analysis, and returns the highest confidence an analysis gave.
double highestConfidence(BeatFeeder& feeder, const std::vector<float>& pcm) {
    double highest = 0;
    const auto step = static_cast<std::size_t>(feeder.rate / 2);
    for (std::size_t at = 0; at < pcm.size(); at += step) {
        feeder.feed(std::span<const float>(pcm).subspan(at, std::min(step, pcm.size() - at)));
        highest = std::max(highest, feeder.tracker.confidence());
    }
    return highest;
}

struct PatternCase {
    const char* name;
    bool drums;  // a kick, snare and hi-hat pattern, else clicks
    double bpm;
    double expectedBpm;  // the tracker's range ends at 193.5 BPM and favours the half of fast tempi

    friend std::ostream& operator<<(std::ostream& out, const PatternCase& c) {
        return out << c.name;
    }
};

class BeatTrackerPatterns : public testing::TestWithParam<PatternCase> {};

TEST_P(BeatTrackerPatterns, KeepTheirTempoAndGetBeatsOnTheirBeats) {
    const PatternCase c = GetParam();
    auto pcm = BeatClickTrack::silence(kRate, 20);
    const auto beatTimes = c.drums ? BeatClickTrack::addDrums(pcm, kRate, 0.25, 20, c.bpm)
                                   : BeatClickTrack::addClicks(pcm, kRate, 0.25, 20, c.bpm);
    BeatTracker tracker(kRate);
    BeatFeeder feeder{tracker, kRate, kHostBase};

    const auto beats = feeder.feed(pcm);

    ASSERT_TRUE(tracker.bpm().has_value());
    EXPECT_NEAR(*tracker.bpm(), c.expectedBpm, 0.01 * c.expectedBpm);
    EXPECT_GE(tracker.confidence(), 0.3);
    ASSERT_GE(beats.size(), 10u);
    for (const Beat& beat : beats) {
        const double at = feeder.secondsOf(beat);
        EXPECT_LT(distanceToClick(at, beatTimes), 0.02) << "beat at " << at;
    }
}

INSTANTIATE_TEST_SUITE_P(Tempi, BeatTrackerPatterns,
                         testing::Values(PatternCase{"clicks96", false, 96, 96},
                                         PatternCase{"clicks128", false, 128, 128},
                                         PatternCase{"clicks174", false, 174, 87},
                                         PatternCase{"drums96", true, 96, 96},
                                         PatternCase{"drums128", true, 128, 128},
                                         PatternCase{"drums174", true, 174, 87}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(BeatTrackerPatterns, DrumsThatChangeTempoHalfWayAreFollowed) {
    auto pcm = BeatClickTrack::silence(kRate, 40);
    BeatClickTrack::addDrums(pcm, kRate, 0.25, 20, 96);
    const auto later = BeatClickTrack::addDrums(pcm, kRate, 20, 40, 128);
    BeatTracker tracker(kRate);
    BeatFeeder feeder{tracker, kRate, kHostBase};
    const auto half = static_cast<std::size_t>(20 * kRate);

    feeder.feed(std::span<const float>(pcm).first(half));
    EXPECT_NEAR(tracker.bpm().value_or(0), 96, 1);
    const auto beats = feeder.feed(std::span<const float>(pcm).subspan(half));

    EXPECT_NEAR(tracker.bpm().value_or(0), 128, 1.3);
    EXPECT_GE(tracker.confidence(), 0.3);
    int settled = 0;
    for (const Beat& beat : beats) {
        const double at = feeder.secondsOf(beat);
        if (at > 30) {
            ++settled;
            EXPECT_LT(distanceToClick(at, later), 0.02) << "beat at " << at;
        }
    }
    EXPECT_GE(settled, 15);
}

// ---------------------------------------------------------------------------
// No tempo: signals without onsets

struct ToneCase {
    const char* name;
    double frequency;
    double amplitude = 0.5;
    double fadeSeconds = 0;
    double vibratoDepth = 0;  // a fraction of the frequency
    double vibratoHz = 0;

    friend std::ostream& operator<<(std::ostream& out, const ToneCase& c) { return out << c.name; }
};

class BeatTrackerSteadyTone : public testing::TestWithParam<ToneCase> {};

// A steady tone rises nowhere, whatever its period against the 10 ms hop: no
// analysis may turn the hop-to-hop wobble of its measured level into a tempo.
TEST_P(BeatTrackerSteadyTone, HasNoTempoAndNoBeats) {
    const ToneCase c = GetParam();
    const auto pcm = BeatClickTrack::tone(kRate, 20, c.frequency, c.amplitude, c.fadeSeconds,
                                          c.vibratoDepth, c.vibratoHz);
    BeatTracker tracker(kRate);
    BeatFeeder feeder{tracker, kRate, kHostBase};

    EXPECT_LT(highestConfidence(feeder, pcm), 0.05);
    EXPECT_FALSE(tracker.bpm().has_value()) << *tracker.bpm() << " BPM";
    EXPECT_EQ(tracker.emitted(), 0);
}

INSTANTIATE_TEST_SUITE_P(Tones, BeatTrackerSteadyTone,
                         testing::Values(ToneCase{"sine40Hz", 40}, ToneCase{"sine55Hz", 55},
                                         ToneCase{"sine110Hz", 110}, ToneCase{"sine220Hz", 220},
                                         ToneCase{"sine330Hz", 330}, ToneCase{"sine440Hz", 440},
                                         ToneCase{"sine441Hz", 441}, ToneCase{"sine660Hz", 660},
                                         ToneCase{"sine880Hz", 880}, ToneCase{"sine1000Hz", 1000},
                                         ToneCase{"sine1234Hz", 1234.5},
                                         ToneCase{"sine3001Hz", 3001}, ToneCase{"sine5000Hz", 5000},
                                         ToneCase{"sine12kHz", 12000},
                                         ToneCase{"quiet440Hz", 440, 0.01},
                                         ToneCase{"fadingIn440Hz", 440, 0.5, 10},
                                         ToneCase{"vibrato440Hz", 440, 0.5, 0, 0.03, 5.5},
                                         ToneCase{"wideVibrato220Hz", 220, 0.5, 0, 0.06, 6}),
                         [](const auto& info) { return std::string(info.param.name); });

struct QuietCase {
    const char* name;
    float noise;
};

class BeatTrackerNoTempo : public testing::TestWithParam<QuietCase> {};

TEST_P(BeatTrackerNoTempo, GivesNoTempoAndNoBeats) {
    auto pcm = BeatClickTrack::silence(kRate, 12);
    BeatClickTrack::addNoise(pcm, GetParam().noise);
    BeatTracker tracker(kRate);
    BeatFeeder feeder{tracker, kRate, kHostBase};

    EXPECT_TRUE(feeder.feed(pcm).empty());
    EXPECT_FALSE(tracker.bpm().has_value());
    EXPECT_LT(tracker.confidence(), 0.15);
    EXPECT_EQ(tracker.emitted(), 0);
}

INSTANTIATE_TEST_SUITE_P(BeatInputs, BeatTrackerNoTempo,
                         testing::Values(QuietCase{"silence", 0.0f}, QuietCase{"noise", 0.3f}),
                         [](const auto& info) { return std::string(info.param.name); });

// Noise is periodic at some lag by chance in every window; over half a minute of
// analyses that chance must never add up to a tempo.
TEST(BeatTrackerNoTempo, PinkNoiseNeverReachesATempo) {
    struct Case {
        float level;
        std::uint32_t seed;
    };
    for (const Case c : {Case{0.3f, 1}, Case{0.3f, 2}, Case{0.03f, 1}, Case{0.03f, 6},
                         Case{0.03f, 7}, Case{0.03f, 8}}) {
        SCOPED_TRACE(testing::Message() << "level " << c.level << ", seed " << c.seed);
        auto pcm = BeatClickTrack::silence(kRate, 30);
        BeatClickTrack::addPinkNoise(pcm, c.level, c.seed);
        BeatTracker tracker(kRate);
        BeatFeeder feeder{tracker, kRate, kHostBase};

        EXPECT_LT(highestConfidence(feeder, pcm), 0.15);
        EXPECT_LT(tracker.confidence(), 0.1);
        EXPECT_FALSE(tracker.bpm().has_value()) << *tracker.bpm() << " BPM";
        EXPECT_EQ(tracker.emitted(), 0);
    }
}

TEST(BeatTrackerNoTempo, SilenceAfterMusicKeepsTheLastTempoWithZeroConfidence) {
    auto pcm = BeatClickTrack::silence(kRate, 20);
    BeatClickTrack::addClicks(pcm, kRate, 0.25, 10, 120);
    BeatTracker tracker(kRate);
    BeatFeeder feeder{tracker, kRate, kHostBase};
    feeder.feed(pcm);  // the last 8 s are silent
    ASSERT_TRUE(tracker.bpm().has_value());
    const double tempo = *tracker.bpm();
    const std::int64_t emitted = tracker.emitted();

    const auto later = feeder.feed(BeatClickTrack::silence(kRate, 2));

    EXPECT_TRUE(later.empty());
    EXPECT_EQ(tracker.emitted(), emitted);
    EXPECT_EQ(tracker.confidence(), 0.0);
    EXPECT_EQ(tracker.bpm(), tempo);
}

// ---------------------------------------------------------------------------
// Tempo changes

TEST(BeatTrackerTempoChange, JumpIsFollowedOnlyAfterThreeAgreeingEstimates) {
    auto pcm = BeatClickTrack::silence(kRate, 30);
    BeatClickTrack::addClicks(pcm, kRate, 0.25, 12, 120);
    BeatClickTrack::addClicks(pcm, kRate, 12.25, 30, 100);
    BeatTracker tracker(kRate);
    BeatFeeder feeder{tracker, kRate, kHostBase};
    const std::size_t analysisFrames = 50 * 480;

    feeder.feed(std::span<const float>(pcm).first(static_cast<std::size_t>(12 * kRate)));
    ASSERT_NEAR(tracker.bpm().value_or(0), 120, 0.5);

    // Analyse every half second; record the tempo and the pending run after each.
    struct Step {
        double bpm;
        int pendingCount;
    };
    std::vector<Step> steps;
    for (std::size_t at = static_cast<std::size_t>(12 * kRate); at < pcm.size();
         at += analysisFrames) {
        feeder.feed(std::span<const float>(pcm).subspan(at, analysisFrames));
        steps.push_back({tracker.bpm().value_or(0), tracker.periodState().pendingCount});
    }

    const auto switched = std::find_if(steps.begin(), steps.end(),
                                       [](const Step& s) { return std::abs(s.bpm - 100) < 2; });
    ASSERT_NE(switched, steps.end());
    ASSERT_GE(switched - steps.begin(), 2);
    EXPECT_EQ(std::prev(switched, 2)->pendingCount, 1);
    EXPECT_EQ(std::prev(switched, 1)->pendingCount, 2);
    EXPECT_EQ(switched->pendingCount, 0);
    for (auto it = steps.begin(); it != switched; ++it) EXPECT_NEAR(it->bpm, 120, 0.5);
    EXPECT_NEAR(steps.back().bpm, 100, 0.5);
}

TEST(BeatTrackerPeriodHysteresis, SmoothsSmallChangesAndTakesAJumpOnTheThirdAgreeingEstimate) {
    using Outcome = BeatTracker::PeriodHysteresis::Outcome;
    struct Step {
        double estimate;
        Outcome outcome;
        double period;
        int pendingCount;
    };
    const std::vector<Step> steps{
        {50.0, Outcome::first, 50.0, 0},
        {51.0, Outcome::smoothed, 50.2, 0},
        {60.0, Outcome::pending, 50.2, 1},    // a lone outlier only starts a run
        {50.0, Outcome::smoothed, 50.16, 0},  // and agreeing with the period ends it
        {60.0, Outcome::pending, 50.16, 1},
        {40.0, Outcome::pending, 50.16, 1},  // a different outlier starts a new run
        {60.0, Outcome::pending, 50.16, 1},
        {61.0, Outcome::pending, 50.16, 2},
        {59.0, Outcome::changed, 59.0, 0},  // third in a row within 4 % of the first
        {60.0, Outcome::smoothed, 59.2, 0},
    };
    BeatTracker::PeriodHysteresis hysteresis;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(hysteresis.adopt(steps[i].estimate), steps[i].outcome);
        ASSERT_TRUE(hysteresis.period.has_value());
        EXPECT_NEAR(*hysteresis.period, steps[i].period, 1e-9);
        EXPECT_EQ(hysteresis.pendingCount, steps[i].pendingCount);
        EXPECT_EQ(hysteresis.pendingPeriod.has_value(), steps[i].pendingCount > 0);
    }
}

// ---------------------------------------------------------------------------
// Periodicity of onset curves

std::vector<double> impulseTrain(double period, std::size_t length = 800) {
    std::vector<double> curve(length, 0.0);
    for (double at = 3; at < static_cast<double>(length); at += period)
        curve[static_cast<std::size_t>(std::lround(at))] = 1.0;
    return curve;
}

TEST(BeatTrackerTempoEstimate, FindsThePeriodOfAnImpulseTrainWithinTheTempoRange) {
    struct Case {
        double period;
        double expected;
    };
    for (const Case c : {Case{50, 50}, Case{40, 40}, Case{47.5, 47.5}, Case{80, 80},
                         Case{25, 50}}) {  // 240 BPM folds to its half, 120 BPM
        SCOPED_TRACE(c.period);
        const auto estimate = BeatTracker::tempo(impulseTrain(c.period));
        ASSERT_TRUE(estimate.has_value());
        EXPECT_NEAR(estimate->period, c.expected, 0.35);
        EXPECT_GT(estimate->confidence, 0.4);
        EXPECT_LE(estimate->confidence, 1.0);
    }
}

TEST(BeatTrackerTempoEstimate, FlatCurveHasNoTempo) {
    EXPECT_FALSE(BeatTracker::tempo(std::vector<double>(800, 0.7)).has_value());
    EXPECT_EQ(BeatTracker::periodicity(std::vector<double>(800, 0.7), 50), 0.0);
}

TEST(BeatTrackerTempoEstimate, PeriodicityIsHighOnlyAtTheTrainsPeriod) {
    const auto train = impulseTrain(50);
    EXPECT_GT(BeatTracker::periodicity(train, 50.2), 0.9);
    EXPECT_LT(BeatTracker::periodicity(train, 25), 0.0);
    EXPECT_EQ(BeatTracker::periodicity(train, 800), 0.0);
}

// ---------------------------------------------------------------------------
// Input handling

TEST(BeatTrackerInput, BeatsDoNotDependOnHowTheAudioIsCutIntoBlocks) {
    auto pcm = BeatClickTrack::silence(kRate, 11);
    BeatClickTrack::addClicks(pcm, kRate, 0.25, 11, 120);
    BeatTracker whole(kRate);
    BeatFeeder wholeFeeder{whole, kRate, kHostBase};
    const auto expected = wholeFeeder.feed(pcm, 960);

    BeatTracker odd(kRate);
    BeatFeeder oddFeeder{odd, kRate, kHostBase};
    std::vector<Beat> beats;
    for (std::size_t at = 0; at < pcm.size(); at += 777) {
        // An empty block in between changes nothing.
        EXPECT_TRUE(odd.process({}, 1, 0, oddFeeder.nanosAt(oddFeeder.fed)).empty());
        const auto found = oddFeeder.feed(
            std::span<const float>(pcm).subspan(at, std::min<std::size_t>(777, pcm.size() - at)),
            777);
        beats.insert(beats.end(), found.begin(), found.end());
    }

    ASSERT_FALSE(expected.empty());
    ASSERT_EQ(beats.size(), expected.size());
    for (std::size_t i = 0; i < beats.size(); ++i) {
        // Block stamps truncate to whole nanoseconds, so hop times may differ by one.
        const auto apart =
            static_cast<std::int64_t>(beats[i].hostTimeNanos - expected[i].hostTimeNanos);
        EXPECT_LE(std::abs(apart), 1) << "beat " << i;
        EXPECT_EQ(beats[i].beatInBar, expected[i].beatInBar);
        EXPECT_EQ(beats[i].bpm, expected[i].bpm);
        EXPECT_EQ(beats[i].confidence, expected[i].confidence);
    }
}

TEST(BeatTrackerInput, ChannelsAreAveraged) {
    auto mono = BeatClickTrack::silence(kRate, 9);
    BeatClickTrack::addClicks(mono, kRate, 0.25, 9, 120);
    std::vector<float> same(2 * mono.size());
    std::vector<float> opposite(2 * mono.size());
    for (std::size_t i = 0; i < mono.size(); ++i) {
        same[2 * i] = same[2 * i + 1] = mono[i];
        opposite[2 * i] = mono[i];
        opposite[2 * i + 1] = -mono[i];
    }
    BeatTracker monoTracker(kRate);
    BeatTracker sameTracker(kRate);
    BeatTracker oppositeTracker(kRate);

    const auto expected = monoTracker.process(mono, 1, mono.size(), kHostBase);
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(sameTracker.process(same, 2, mono.size(), kHostBase), expected);
    EXPECT_TRUE(oppositeTracker.process(opposite, 2, mono.size(), kHostBase).empty());
    EXPECT_FALSE(oppositeTracker.bpm().has_value());
}

TEST(BeatTrackerInput, ReadsOnlyTheWholeFramesTheBufferHolds) {
    auto pcm = BeatClickTrack::silence(kRate, 10);
    BeatClickTrack::addClicks(pcm, kRate, 0.25, 10, 120);
    BeatTracker full(kRate);
    BeatTracker overstated(kRate);
    const auto expected = full.process(pcm, 1, pcm.size(), kHostBase);

    // Claims more frames than are there, and an odd sample count for two channels.
    EXPECT_EQ(overstated.process(pcm, 1, pcm.size() + 5000, kHostBase), expected);
    EXPECT_TRUE(BeatTracker(kRate).process(std::span<const float>(pcm).first(3), 2, 2, 0).empty());
    EXPECT_TRUE(BeatTracker(kRate).process(pcm, 0, pcm.size(), 0).empty());
}

TEST(BeatTrackerInput, ANonFiniteSampleDoesNotDeafenTheTracker) {
    auto pcm = BeatClickTrack::silence(kRate, 12);
    BeatClickTrack::addClicks(pcm, kRate, 0.25, 12, 120);
    pcm[1000] = std::numeric_limits<float>::quiet_NaN();
    pcm[2000] = std::numeric_limits<float>::infinity();
    BeatTracker tracker(kRate);
    BeatFeeder feeder{tracker, kRate, kHostBase};

    EXPECT_FALSE(feeder.feed(pcm).empty());
    EXPECT_NEAR(tracker.bpm().value_or(0), 120, 0.5);
}

// ---------------------------------------------------------------------------
// Long pauses

TEST(BeatTrackerPause, BeatsAfterALongPauseStayInOrderAndWithinTheHeldAudio) {
    auto pcm = BeatClickTrack::silence(kRate, 50);
    BeatClickTrack::addClicks(pcm, kRate, 0.25, 10, 120);
    BeatClickTrack::addClicks(pcm, kRate, 40.25, 50, 120);
    BeatTracker tracker(kRate);
    BeatFeeder feeder{tracker, kRate, kHostBase};

    double previous = -1;
    for (std::size_t at = 0; at < pcm.size(); at += 960) {
        const auto beats = feeder.feed(std::span<const float>(pcm).subspan(at, 960));
        const double now = static_cast<double>(feeder.fed) / kRate;
        for (const Beat& beat : beats) {
            const double t = feeder.secondsOf(beat);
            EXPECT_GT(t, previous);
            EXPECT_LE(t, now - 0.45);
            EXPECT_GE(t, now - 16.0);
            previous = t;
        }
    }
    EXPECT_GT(previous, 45.0);
}

}  // namespace
}  // namespace zoranth
