#include "host/network_health.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zoranth {
namespace {

using Sample = NetworkHealth::ClientSample;
using Diagnosis = NetworkHealth::Diagnosis;
using Verdict = NetworkHealth::Verdict;
using Id = NetworkHealth::Id;

constexpr std::int64_t bufferDelayMs = 4500;

Sample guest(Id id, std::string name, double occupancy = 0, std::int64_t dropped = 0,
             std::int64_t expired = 0) {
    Sample sample;
    sample.id = id;
    sample.name = std::move(name);
    sample.occupancy = occupancy;
    sample.droppedFrames = dropped;
    sample.expiredFrames = expired;
    return sample;
}

Sample withBuffer(Sample sample, int bufferMs) {
    sample.clientBufferMs = bufferMs;
    return sample;
}

Sample withRtt(Sample sample, double rttMs, double minRttMs, std::uint64_t bytesSent = 0) {
    sample.rttMs = rttMs;
    sample.minRttMs = minRttMs;
    sample.bytesSent = bytesSent;
    return sample;
}

// One status refresh of a rave and what it should conclude.
struct Step {
    double at;
    std::vector<Sample> clients;
    Diagnosis diagnosis;
    std::map<Id, double> struggling;  // guest → when it started struggling
    std::string summary;
    std::optional<std::int64_t> chunks = std::nullopt;  // absent: a new chunk since the last
};

// Plays the steps in order against one monitor, as the status refresh does.
void play(NetworkHealth& health, const std::vector<Step>& steps) {
    std::int64_t chunks = 0;
    for (const Step& step : steps) {
        SCOPED_TRACE("at " + std::to_string(step.at));
        chunks = step.chunks.value_or(chunks + 1);
        const Verdict verdict = health.assess(step.at, chunks, bufferDelayMs, step.clients);
        EXPECT_EQ(verdict.diagnosis, step.diagnosis);
        EXPECT_EQ(verdict.struggling, step.struggling);
        EXPECT_EQ(verdict.summary, step.summary);
        EXPECT_EQ(verdict.guestCount, static_cast<int>(step.clients.size()));
        EXPECT_EQ(verdict.strugglingCount, static_cast<int>(step.struggling.size()));
        EXPECT_TRUE(verdict.linkStrain.empty());
    }
}

void play(const std::vector<Step>& steps) {
    NetworkHealth health;
    play(health, steps);
}

// --- Scenarios over time ---------------------------------------------------------------

TEST(NetworkHealthScenario, OneWeakGuestAmongHealthyOnes) {
    const Sample kitchen = guest(1, "Kitchen");
    const Sample porch = guest(3, "Porch");
    const char* weakDen = "3 guests · 1 struggling — “Den” (weak link, others fine)";
    play({
        {0.0, {kitchen, guest(2, "Den"), porch}, Diagnosis::healthy(), {}, "3 guests · measuring…"},
        // A queue more than half full is over budget at once.
        {1.0,
         {kitchen, guest(2, "Den", 0.6), porch},
         Diagnosis::weakClients({"Den"}),
         {{2, 1.0}},
         weakDen},
        {1.25,
         {kitchen, guest(2, "Den", 0.9), porch},
         Diagnosis::weakClients({"Den"}),
         {{2, 1.0}},
         weakDen},
        // Drained, and no loss in its history: healthy again straight away.
        {1.5,
         {kitchen, guest(2, "Den", 0.5), porch},
         Diagnosis::healthy(),
         {},
         "3 guests · measuring…"},
        // A guest buffer under 40 % of the 4500 ms target is over budget too.
        {2.0,
         {kitchen, withBuffer(guest(2, "Den"), 1799), porch},
         Diagnosis::weakClients({"Den"}),
         {{2, 2.0}},
         weakDen},
        {2.25,
         {kitchen, withBuffer(guest(2, "Den"), 1800), porch},
         Diagnosis::healthy(),
         {},
         "3 guests · measuring…"},
    });
}

TEST(NetworkHealthScenario, LossInFiveOfTheLastTwelveAssessmentsIsStruggling) {
    // Den's counters gain at assessments 2, 3, 5 (an expiry), 6 and 7; the first
    // assessment has nothing to compare with. The loss of assessment 2 leaves the
    // window of twelve at assessment 14.
    const std::vector<std::pair<std::int64_t, std::int64_t>> denCounters = {
        {4, 0}, {5, 0}, {6, 0}, {6, 0}, {6, 1}, {7, 1}, {8, 1},
        {8, 1}, {8, 1}, {8, 1}, {8, 1}, {8, 1}, {8, 1}, {8, 1},
    };
    std::vector<Step> steps;
    for (std::size_t i = 0; i < denCounters.size(); ++i) {
        const double at = 0.25 * static_cast<double>(i);
        const auto [dropped, expired] = denCounters[i];
        const bool struggles = i + 1 >= 7 && i + 1 <= 13;
        Step step{at,
                  {guest(1, "Kitchen"), guest(2, "Den", 0, dropped, expired)},
                  Diagnosis::healthy(),
                  {},
                  "2 guests · measuring…",
                  std::nullopt};
        if (struggles) {
            step.diagnosis = Diagnosis::weakClients({"Den"});
            step.struggling = {{2, 1.5}};
            step.summary = "2 guests · 1 struggling — “Den” (weak link, others fine)";
        }
        steps.push_back(step);
    }
    play(steps);
}

TEST(NetworkHealthScenario, TwoOfTwoStrugglingTogetherSaturateAndTheFirstIsNamed) {
    // Kitchen has the larger id but went first.
    play({
        {10.0,
         {guest(1, "Den"), guest(2, "Kitchen")},
         Diagnosis::healthy(),
         {},
         "2 guests · measuring…"},
        {10.25,
         {guest(1, "Den"), guest(2, "Kitchen", 0.7)},
         Diagnosis::weakClients({"Kitchen"}),
         {{2, 10.25}},
         "2 guests · 1 struggling — “Kitchen” (weak link, others fine)"},
        {11.0,
         {guest(1, "Den", 0.8), guest(2, "Kitchen", 0.7)},
         Diagnosis::saturated("Kitchen"),
         {{1, 11.0}, {2, 10.25}},
         "2 guests · 2 struggling — network saturated (“Kitchen” went first)"},
        {11.25,
         {guest(1, "Den", 0.8), guest(2, "Kitchen", 0.7)},
         Diagnosis::saturated("Kitchen"),
         {{1, 11.0}, {2, 10.25}},
         "2 guests · 2 struggling — network saturated (“Kitchen” went first)"},
    });
}

TEST(NetworkHealthScenario, ThreeOfFiveSaturate) {
    auto five = [](double a, double b, double c) {
        return std::vector<Sample>{guest(1, "A", a), guest(2, "B", b), guest(3, "C", c),
                                   guest(4, "D"), guest(5, "E")};
    };
    play({
        {1.0,
         five(0.6, 0.6, 0),
         Diagnosis::weakClients({"A", "B"}),
         {{1, 1.0}, {2, 1.0}},
         "5 guests · 2 struggling — “A”, “B” (weak link, others fine)"},
        {1.5,
         five(0.6, 0.6, 0.6),
         Diagnosis::saturated("A"),
         {{1, 1.0}, {2, 1.0}, {3, 1.5}},
         "5 guests · 3 struggling — network saturated (“A” went first)"},
        // B recovers: two of five is a pair of weak links again.
        {1.75,
         five(0.6, 0, 0.6),
         Diagnosis::weakClients({"A", "C"}),
         {{1, 1.0}, {3, 1.5}},
         "5 guests · 2 struggling — “A”, “C” (weak link, others fine)"},
    });
}

TEST(NetworkHealthScenario, TwoStrugglingTwoSecondsApartAreWeakClients) {
    // Names follow the guests' order, not the order in which they began to struggle.
    const char* both = "2 guests · 2 struggling — “A”, “B” (weak link, others fine)";
    play({
        {0.0,
         {guest(1, "A"), guest(2, "B", 0.6)},
         Diagnosis::weakClients({"B"}),
         {{2, 0.0}},
         "2 guests · 1 struggling — “B” (weak link, others fine)"},
        {2.0,
         {guest(1, "A", 0.6), guest(2, "B", 0.6)},
         Diagnosis::weakClients({"A", "B"}),
         {{1, 2.0}, {2, 0.0}},
         both},
        {5.0,
         {guest(1, "A", 0.6), guest(2, "B", 0.6)},
         Diagnosis::weakClients({"A", "B"}),
         {{1, 2.0}, {2, 0.0}},
         both},
        // B recovers and struggles again: its start is new, and far from A's.
        {5.25,
         {guest(1, "A", 0.6), guest(2, "B")},
         Diagnosis::weakClients({"A"}),
         {{1, 2.0}},
         "2 guests · 1 struggling — “A” (weak link, others fine)"},
        {5.5,
         {guest(1, "A", 0.6), guest(2, "B", 0.6)},
         Diagnosis::weakClients({"A", "B"}),
         {{1, 2.0}, {2, 5.5}},
         both},
    });
}

TEST(NetworkHealthScenario, SaturationNeedsTheStartsWithinThreeQuartersOfASecond) {
    for (const auto& [gap, expected] : {std::pair{0.75, Diagnosis::saturated("A")},
                                        std::pair{0.76, Diagnosis::weakClients({"A", "B"})}}) {
        SCOPED_TRACE(gap);
        NetworkHealth health;
        const std::vector<Sample> first = {guest(1, "A", 0.6), guest(2, "B")};
        const std::vector<Sample> both = {guest(1, "A", 0.6), guest(2, "B", 0.6)};
        health.assess(20.0, 1, bufferDelayMs, first);
        EXPECT_EQ(health.assess(20.0 + gap, 2, bufferDelayMs, both).diagnosis, expected);
    }
}

TEST(NetworkHealthScenario, HowManyStrugglingGuestsSaturateTheNetwork) {
    const struct {
        int guests;
        int needed;  // 0: never
    } rows[] = {{1, 0}, {2, 2}, {3, 2}, {4, 2}, {5, 3}, {6, 3}, {7, 4}};
    for (const auto& row : rows) {
        for (int struggling = 1; struggling <= row.guests; ++struggling) {
            SCOPED_TRACE(std::to_string(struggling) + " of " + std::to_string(row.guests));
            std::vector<Sample> clients;
            for (int i = 0; i < row.guests; ++i) {
                clients.push_back(
                    guest(i + 1, "G" + std::to_string(i + 1), i < struggling ? 0.6 : 0));
            }
            NetworkHealth health;
            const auto kind = health.assess(1.0, 1, bufferDelayMs, clients).diagnosis.kind;
            const bool saturated = row.needed != 0 && struggling >= row.needed;
            EXPECT_EQ(kind, saturated ? Diagnosis::Case::saturated : Diagnosis::Case::weakClients);
        }
    }
}

TEST(NetworkHealthScenario, ATieForFirstGoesToTheSmallerId) {
    NetworkHealth health;
    const std::vector<Sample> clients = {guest(7, "Patio", 0.6), guest(3, "Attic", 0.6)};
    const Verdict verdict = health.assess(1.0, 1, bufferDelayMs, clients);
    EXPECT_EQ(verdict.diagnosis, Diagnosis::saturated("Attic"));
    EXPECT_EQ(verdict.summary, "2 guests · 2 struggling — network saturated (“Attic” went first)");
}

TEST(NetworkHealthScenario, CaptureBehindAfterASecondWithoutANewChunk) {
    const std::vector<Sample> calm = {guest(1, "Kitchen"), guest(2, "Den")};
    const std::vector<Sample> bothStruggling = {guest(1, "Kitchen", 0.9), guest(2, "Den", 0.9)};
    const char* behind = "2 guests · capture is behind — check this computer, not the network";
    play({
        // Without guests nothing is judged, but the chunk count is still watched.
        {0.0, {}, Diagnosis::idle(), {}, "No guests connected.", 10},
        {0.5, calm, Diagnosis::healthy(), {}, "2 guests · measuring…", 35},
        {1.0, calm, Diagnosis::healthy(), {}, "2 guests · measuring…", 35},
        {1.25, calm, Diagnosis::healthy(), {}, "2 guests · measuring…", 35},
        {1.5, calm, Diagnosis::captureBehind(), {}, behind, 35},
        // Guests in trouble change nothing: the Mac is named first.
        {1.75, bothStruggling, Diagnosis::captureBehind(), {{1, 1.75}, {2, 1.75}}, behind, 35},
        {2.0,
         bothStruggling,
         Diagnosis::saturated("Kitchen"),
         {{1, 1.75}, {2, 1.75}},
         "2 guests · 2 struggling — network saturated (“Kitchen” went first)",
         48},
    });
}

TEST(NetworkHealthScenario, CaptureBehindWhenGuestsJoinAStalledCapture) {
    play({
        {0.0, {}, Diagnosis::idle(), {}, "No guests connected.", 5},
        {3.0,
         {guest(1, "Kitchen")},
         Diagnosis::captureBehind(),
         {},
         "1 guest · capture is behind — check this computer, not the network",
         5},
    });
}

TEST(NetworkHealthScenario, FiveWeakGuestsNameThreeAndCountTheRest) {
    auto five = [](int struggling) {
        std::vector<Sample> clients;
        const char* names[] = {"A", "B", "C", "D", "E"};
        for (int i = 0; i < 5; ++i) {
            clients.push_back(guest(i + 1, names[i], i < struggling ? 0.6 : 0));
        }
        return clients;
    };
    play({
        {0.0,
         five(1),
         Diagnosis::weakClients({"A"}),
         {{1, 0.0}},
         "5 guests · 1 struggling — “A” (weak link, others fine)"},
        {1.0,
         five(2),
         Diagnosis::weakClients({"A", "B"}),
         {{1, 0.0}, {2, 1.0}},
         "5 guests · 2 struggling — “A”, “B” (weak link, others fine)"},
        {2.0,
         five(3),
         Diagnosis::weakClients({"A", "B", "C"}),
         {{1, 0.0}, {2, 1.0}, {3, 2.0}},
         "5 guests · 3 struggling — “A”, “B”, “C” (weak link, others fine)"},
        {3.0,
         five(4),
         Diagnosis::weakClients({"A", "B", "C", "D"}),
         {{1, 0.0}, {2, 1.0}, {3, 2.0}, {4, 3.0}},
         "5 guests · 4 struggling — “A”, “B”, “C” and 1 more (weak link, others fine)"},
        {4.0,
         five(5),
         Diagnosis::weakClients({"A", "B", "C", "D", "E"}),
         {{1, 0.0}, {2, 1.0}, {3, 2.0}, {4, 3.0}, {5, 4.0}},
         "5 guests · 5 struggling — “A”, “B”, “C” and 2 more (weak link, others fine)"},
    });
}

TEST(NetworkHealthScenario, UnnamedGuests) {
    // No device name and no endpoint text: nothing to call the guest by.
    auto unnamed = [](Id id, double occupancy) {
        Sample sample = Sample::fromReport(id, "", std::nullopt);
        sample.occupancy = occupancy;
        return sample;
    };
    play({
        {0.0,
         {unnamed(1, 0.6), unnamed(2, 0)},
         Diagnosis::weakClients({""}),
         {{1, 0.0}},
         "2 guests · 1 struggling — an unnamed guest (weak link, others fine)"},
        {0.5,
         {unnamed(1, 0.6), unnamed(2, 0.6)},
         Diagnosis::saturated(""),
         {{1, 0.0}, {2, 0.5}},
         "2 guests · 2 struggling — network saturated (an unnamed guest went first)"},
        {3.0,
         {unnamed(1, 0.6), unnamed(2, 0), unnamed(3, 0), unnamed(4, 0.6)},
         Diagnosis::weakClients({"", ""}),
         {{1, 0.0}, {4, 3.0}},
         "4 guests · 2 struggling — an unnamed guest, an unnamed guest (weak link, others fine)"},
    });
}

TEST(NetworkHealthScenario, CountersGoingBackwardsAreNoLossAndANewBaseline) {
    // 10 → 11 is a loss; 11 → 3 is not, and 3 is what the next count is compared with,
    // so the fifth loss comes at 7 s.
    const std::int64_t dropped[] = {10, 11, 3, 4, 5, 6, 6, 7};
    std::vector<Step> steps;
    for (int i = 0; i < 8; ++i) {
        const double at = i;
        Step step{at,
                  {guest(1, "Kitchen", 0, dropped[i])},
                  Diagnosis::healthy(),
                  {},
                  "1 guest · measuring…",
                  std::nullopt};
        if (i == 7) {
            step.diagnosis = Diagnosis::weakClients({"Kitchen"});
            step.struggling = {{1, 7.0}};
            step.summary = "1 guest · 1 struggling — “Kitchen” (weak link, others fine)";
        }
        steps.push_back(step);
    }
    play(steps);
}

TEST(NetworkHealthScenario, GuestsLeavingAndRejoiningStartFresh) {
    const Sample den = guest(2, "Den");
    play({
        // Kitchen loses frames at four assessments in a row...
        {0.0, {guest(1, "Kitchen", 0, 0), den}, Diagnosis::healthy(), {}, "2 guests · measuring…"},
        {0.25, {guest(1, "Kitchen", 0, 1), den}, Diagnosis::healthy(), {}, "2 guests · measuring…"},
        {0.5, {guest(1, "Kitchen", 0, 2), den}, Diagnosis::healthy(), {}, "2 guests · measuring…"},
        {0.75, {guest(1, "Kitchen", 0, 3), den}, Diagnosis::healthy(), {}, "2 guests · measuring…"},
        {1.0, {guest(1, "Kitchen", 0, 4), den}, Diagnosis::healthy(), {}, "2 guests · measuring…"},
        // ...then is missing from one refresh. Coming back, its history is gone: the
        // grown counter is a first reading and one more loss is one of twelve.
        {1.25, {den}, Diagnosis::healthy(), {}, "1 guest · measuring…"},
        {1.5, {guest(1, "Kitchen", 0, 9), den}, Diagnosis::healthy(), {}, "2 guests · measuring…"},
        {1.75,
         {guest(1, "Kitchen", 0, 10), den},
         Diagnosis::healthy(),
         {},
         "2 guests · measuring…"},
        // Den struggles, leaves, and rejoins under a new id still struggling: a new start.
        {2.0,
         {guest(1, "Kitchen", 0, 10), guest(2, "Den", 0.9)},
         Diagnosis::weakClients({"Den"}),
         {{2, 2.0}},
         "2 guests · 1 struggling — “Den” (weak link, others fine)"},
        {2.25, {guest(1, "Kitchen", 0, 10)}, Diagnosis::healthy(), {}, "1 guest · measuring…"},
        {4.0,
         {guest(1, "Kitchen", 0, 10), guest(3, "Den", 0.9)},
         Diagnosis::weakClients({"Den"}),
         {{3, 4.0}},
         "2 guests · 1 struggling — “Den” (weak link, others fine)"},
        // Kitchen joins it 0.5 s later: saturated, and Den, at its new start, went first.
        {4.5,
         {guest(1, "Kitchen", 0.9, 10), guest(3, "Den", 0.9)},
         Diagnosis::saturated("Den"),
         {{1, 4.5}, {3, 4.0}},
         "2 guests · 2 struggling — network saturated (“Den” went first)"},
        {5.0, {}, Diagnosis::idle(), {}, "No guests connected."},
    });
}

// --- The verdict's other parts -----------------------------------------------------------

TEST(NetworkHealth, InitialVerdictIsIdleWithNothingMeasured) {
    const Verdict initial = Verdict::initial();
    EXPECT_EQ(initial.diagnosis, Diagnosis::idle());
    EXPECT_EQ(initial.guestCount, 0);
    EXPECT_EQ(initial.strugglingCount, 0);
    EXPECT_EQ(initial.summary, "No guests connected.");
    EXPECT_TRUE(initial.struggling.empty());
    EXPECT_TRUE(initial.linkStrain.empty());
    EXPECT_EQ(initial.headroom, NetworkHealth::Headroom{});
    EXPECT_EQ(initial.headroom.floorMs, std::nullopt);
    EXPECT_EQ(initial.headroom.inflationMs, std::nullopt);
    EXPECT_FALSE(initial.headroom.isClimbing);
    EXPECT_EQ(initial.headroom.comfortableAt, 0);
    EXPECT_EQ(initial.headroom.offeredMbps, 0);
    EXPECT_EQ(initial.headroom.strain, 0);
}

TEST(NetworkHealth, NoGuestsGiveTheInitialVerdictEvenAfterARave) {
    NetworkHealth health;
    const std::vector<Sample> two = {withRtt(guest(1, "A"), 10, 5), withRtt(guest(2, "B"), 10, 5)};
    ASSERT_EQ(health.assess(1.0, 1, bufferDelayMs, two).headroom.comfortableAt, 2);
    EXPECT_EQ(health.assess(2.0, 2, bufferDelayMs, {}), Verdict::initial());
    EXPECT_EQ(health.comfortableAt(), 2);
}

TEST(NetworkHealth, SampleFromAConnectionsReport) {
    ClientStat report;
    report.rttNanos = 12'500'000;
    report.minRttNanos = 4'250'000;
    report.bufferDepthMs = 4400;
    report.deviceName = "Kitchen";

    const Sample named = Sample::fromReport(7, "192.168.1.20:51000", report);
    EXPECT_EQ(named.id, 7);
    EXPECT_EQ(named.name, "Kitchen");
    EXPECT_EQ(named.clientBufferMs, 4400);
    EXPECT_DOUBLE_EQ(*named.rttMs, 12.5);
    EXPECT_DOUBLE_EQ(*named.minRttMs, 4.25);

    report.deviceName.clear();
    EXPECT_EQ(Sample::fromReport(7, "192.168.1.20:51000", report).name, "192.168.1.20:51000");

    const Sample silent = Sample::fromReport(8, "192.168.1.21:51002", std::nullopt);
    EXPECT_EQ(silent.name, "192.168.1.21:51002");
    EXPECT_EQ(silent.clientBufferMs, std::nullopt);
    EXPECT_EQ(silent.rttMs, std::nullopt);
    EXPECT_EQ(silent.minRttMs, std::nullopt);
}

TEST(NetworkHealth, QuotedNames) {
    EXPECT_EQ(NetworkHealth::quoted("Den"),
              "\u201C"
              "Den"
              "\u201D");
    EXPECT_EQ(NetworkHealth::quoted("Den"), "“Den”");
    EXPECT_EQ(NetworkHealth::quoted(""), "an unnamed guest");
}

TEST(NetworkHealthHeadroom, UpperMediansOfFloorsAndInflation) {
    NetworkHealth health;
    // Inflations 6, 14 and 4; floors 4, 6 and 10.
    const std::vector<Sample> three = {withRtt(guest(1, "A"), 10, 4), withRtt(guest(2, "B"), 20, 6),
                                       withRtt(guest(3, "C", 0.1), 14, 10)};
    const Verdict verdict = health.assess(1.0, 1, bufferDelayMs, three);
    EXPECT_EQ(verdict.headroom.floorMs, 6.0);
    EXPECT_EQ(verdict.headroom.inflationMs, 6.0);
    EXPECT_FALSE(verdict.headroom.isClimbing);
    EXPECT_EQ(verdict.headroom.comfortableAt, 3);
    EXPECT_DOUBLE_EQ(verdict.headroom.strain, 0.2);  // the busiest queue, doubled
    EXPECT_EQ(verdict.summary, "3 guests · 6 ms, steady");

    // With an even count the upper of the two middle values is taken; a reading below
    // the floor is no inflation; a guest without a report is left out.
    const std::vector<Sample> four = {withRtt(guest(1, "A"), 10, 2), withRtt(guest(2, "B"), 3, 4),
                                      withRtt(guest(3, "C"), 30, 8), guest(4, "D"),
                                      withRtt(guest(5, "E"), 14, 12)};
    const Verdict second = health.assess(2.0, 2, bufferDelayMs, four);
    EXPECT_EQ(second.headroom.floorMs, 8.0);        // 2, 4, 8, 12
    EXPECT_EQ(second.headroom.inflationMs, 8.0);    // 0, 2, 8, 22
    EXPECT_DOUBLE_EQ(second.headroom.strain, 0.2);  // 8 ms of 40
    EXPECT_EQ(second.summary, "5 guests · 8 ms, steady");
}

TEST(NetworkHealthHeadroom, MeasuringUntilAGuestReportsItsRoundTrip) {
    NetworkHealth health;
    Sample floorOnly = guest(1, "A", 0.4);
    floorOnly.minRttMs = 5;
    floorOnly.bytesSent = 1'000'000;
    const Verdict verdict = health.assess(1.0, 1, bufferDelayMs, std::vector{floorOnly});
    EXPECT_EQ(verdict.headroom, NetworkHealth::Headroom{});
    EXPECT_EQ(verdict.headroom.summary(), "measuring…");
    EXPECT_EQ(verdict.summary, "1 guest · measuring…");
    // The load was not measured then, so the first measurement comes with the first
    // round trip and reads zero.
    const Verdict next =
        health.assess(3.0, 2, bufferDelayMs, std::vector{withRtt(guest(1, "A"), 9, 5, 3'000'000)});
    EXPECT_EQ(next.headroom.offeredMbps, 0);
    EXPECT_EQ(next.summary, "1 guest · 4 ms, steady");
}

TEST(NetworkHealthHeadroom, ClimbingWhenInflationIsHighOrRisesWithTheGuestCount) {
    NetworkHealth health;
    auto guests = [](int count, double inflation) {
        std::vector<Sample> clients;
        for (int i = 0; i < count; ++i) {
            clients.push_back(withRtt(guest(i + 1, "G"), 10 + inflation, 10));
        }
        return clients;
    };
    const struct {
        double at;
        int guests;
        double inflation;
        const char* summary;
        int comfortableAt;
    } steps[] = {
        {0.0, 2, 5, "2 guests · 5 ms, steady", 2},
        // 15 ms is not above twice the 5 ms seen with fewer guests plus 5.
        {10.0, 3, 15, "3 guests · 15 ms, steady", 3},
        {20.0, 4, 16, "4 guests · 16 ms, climbing", 3},
        {30.0, 2, 26, "2 guests · 26 ms, climbing", 3},
        // The 5 ms reading still counts when exactly a minute old, and is gone after;
        // the lowest reading with fewer guests is then 15 ms.
        {60.0, 4, 16, "4 guests · 16 ms, climbing", 3},
        {60.25, 4, 16, "4 guests · 16 ms, steady", 4},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.at);
        const Verdict verdict = health.assess(step.at, static_cast<std::int64_t>(step.at * 50) + 1,
                                              bufferDelayMs, guests(step.guests, step.inflation));
        EXPECT_EQ(verdict.summary, step.summary);
        EXPECT_EQ(verdict.headroom.comfortableAt, step.comfortableAt);
    }
}

TEST(NetworkHealthHeadroom, ComfortableOnlyWhileNobodyStruggles) {
    NetworkHealth health;
    const std::vector<Sample> one = {withRtt(guest(1, "A"), 12, 10)};
    EXPECT_EQ(health.assess(1.0, 1, bufferDelayMs, one).headroom.comfortableAt, 1);
    const std::vector<Sample> threeStruggling = {withRtt(guest(1, "A", 0.7), 12, 10),
                                                 withRtt(guest(2, "B"), 12, 10),
                                                 withRtt(guest(3, "C"), 12, 10)};
    const Verdict verdict = health.assess(2.0, 2, bufferDelayMs, threeStruggling);
    EXPECT_EQ(verdict.headroom.comfortableAt, 1);
    EXPECT_DOUBLE_EQ(verdict.headroom.strain, 1.4);
    EXPECT_EQ(health.assess(3.0, 3, bufferDelayMs, one).headroom.comfortableAt, 1);
}

TEST(NetworkHealthHeadroom, HeadroomSummary) {
    NetworkHealth::Headroom headroom;
    EXPECT_EQ(headroom.summary(), "measuring…");
    headroom.inflationMs = 14.4;
    EXPECT_EQ(headroom.summary(), "14 ms, steady");
    headroom.inflationMs = 30.5;
    headroom.isClimbing = true;
    EXPECT_EQ(headroom.summary(), "30 ms, climbing");
}

TEST(NetworkHealthLoad, MegabitsPerSecondAtMostOnceASecond) {
    NetworkHealth health;
    auto sent = [](std::uint64_t a, std::uint64_t b) {
        Sample first = guest(1, "A");
        first.bytesSent = a;
        Sample second = guest(2, "B");
        second.bytesSent = b;
        return std::vector<Sample>{first, second};
    };
    EXPECT_EQ(health.measureLoad(sent(100'000, 100'000), 100.0), 0);  // first reading
    EXPECT_EQ(health.measureLoad(sent(200'000, 200'000), 100.9), 0);
    EXPECT_DOUBLE_EQ(health.measureLoad(sent(150'000, 200'000), 102.0), 0.6);  // 150 kB in 2 s
    EXPECT_DOUBLE_EQ(health.measureLoad(sent(900'000, 900'000), 102.5), 0.6);
    EXPECT_DOUBLE_EQ(health.measureLoad(sent(900'000, 900'000), 102.99), 0.6);
    EXPECT_DOUBLE_EQ(health.measureLoad(sent(275'000, 200'000), 103.0), 1.0);
    // A guest leaving shrinks the total; that is no traffic, not an enormous burst.
    EXPECT_EQ(health.measureLoad(std::vector{guest(2, "B")}, 104.0), 0);
    EXPECT_EQ(health.measureLoad(std::vector{guest(2, "B")}, 104.5), 0);
}

TEST(NetworkHealthLinks, StrainFromBufferQueueOrInflation) {
    NetworkHealth health;
    const std::vector<Sample> clients = {
        withBuffer(guest(1, "short buffer"), 1700),
        guest(2, "busy queue", 0.3),
        withRtt(guest(3, "inflated"), 70, 10),
        withBuffer(guest(4, "fine"), 1800),
    };
    const std::map<Id, double> expected = {{1, 1.0}, {2, 0.6}, {3, 1.5}, {4, 0.0}};
    EXPECT_EQ(health.measureLinks(clients, bufferDelayMs), expected);
    // Without a configured buffer no guest buffer is short.
    EXPECT_EQ(health.measureLinks(std::vector{withBuffer(guest(1, "A"), 0)}, 0).at(1), 0.0);
}

TEST(NetworkHealthLinks, MedianOfTheLast120InflationReadings) {
    NetworkHealth health;
    auto reading = [](double inflation) {
        return std::vector{withRtt(guest(1, "A"), 10 + inflation, 10)};
    };
    for (int i = 0; i < 120; ++i) {
        health.measureLinks(reading(0), bufferDelayMs);
    }
    for (int i = 0; i < 59; ++i) {
        EXPECT_EQ(health.measureLinks(reading(80), bufferDelayMs).at(1), 0.0) << i;
    }
    // Sixty of the last 120 now read 80 ms: the upper median is 80 ms, twice the
    // threshold. Had the old zeros been kept it would still read 0.
    EXPECT_EQ(health.measureLinks(reading(80), bufferDelayMs).at(1), 2.0);
    // A report-less pass keeps the guest's window; a guest gone from one pass loses it.
    EXPECT_EQ(health.measureLinks(std::vector{guest(1, "A")}, bufferDelayMs).at(1), 2.0);
    health.measureLinks(std::vector{guest(2, "B")}, bufferDelayMs);
    EXPECT_EQ(health.measureLinks(std::vector{guest(1, "A")}, bufferDelayMs).at(1), 0.0);
}

TEST(NetworkHealthLinks, StrainWords) {
    const struct {
        double strain;
        const char* label;
        const char* description;
    } rows[] = {
        {0.0, "comfortable", "comfortable (0% of the struggling threshold)"},
        {0.49, "comfortable", "comfortable (49% of the struggling threshold)"},
        {0.5, "busy", "busy (50% of the struggling threshold)"},
        {0.999, "busy", "busy (100% of the struggling threshold)"},
        {1.0, "struggling", "struggling (100% of the struggling threshold)"},
        {2.5, "struggling", "struggling (250% of the struggling threshold)"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(NetworkHealth::strainLabel(row.strain), row.label) << row.strain;
        EXPECT_EQ(NetworkHealth::strainDescription(row.strain), row.description) << row.strain;
    }
}

}  // namespace
}  // namespace zoranth
