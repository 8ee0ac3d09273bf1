#include "host/session/drought_watch.h"

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace zoranth {

void PrintTo(const DroughtWatch::Stage& s, std::ostream* os) {
    switch (s.kind) {
        case DroughtWatch::Stage::Case::quiet: *os << "quiet for " << s.seconds << " s"; break;
        case DroughtWatch::Stage::Case::fine: *os << "fine"; break;
        case DroughtWatch::Stage::Case::investigate: *os << "investigate"; break;
    }
}

namespace {

using Stage = DroughtWatch::Stage;

// One status tick: the inputs, what update() returns and the standing stage after it.
struct Step {
    double now;
    std::optional<double> liveSince;
    std::int64_t totalAccepted;
    Stage returned;
    Stage standing;
};

struct Scenario {
    const char* name;
    std::vector<Step> steps;
};

class DroughtWatchStages : public testing::TestWithParam<Scenario> {};

TEST_P(DroughtWatchStages, StageFollowsTheRaveThroughTime) {
    DroughtWatch watch;
    EXPECT_EQ(watch.stage(), Stage::fine());
    for (const Step& step : GetParam().steps) {
        SCOPED_TRACE(testing::Message() << "at " << step.now << " s");
        EXPECT_EQ(watch.update(step.now, step.liveSince, step.totalAccepted), step.returned);
        EXPECT_EQ(watch.stage(), step.standing);
    }
}

constexpr double live = 5000.0;

INSTANTIATE_TEST_SUITE_P(
    Scenarios, DroughtWatchStages,
    testing::Values(
        Scenario{"NoGuestEver",
                 {{live + 0, live, 0, Stage::fine(), Stage::fine()},
                  {live + 59.75, live, 0, Stage::fine(), Stage::fine()},
                  {live + 60, live, 0, Stage::quiet(60), Stage::quiet(60)},
                  {live + 179.75, live, 0, Stage::quiet(179.75), Stage::quiet(179.75)},
                  {live + 180, live, 0, Stage::investigate(), Stage::investigate()},
                  {live + 180.25, live, 0, Stage::fine(), Stage::investigate()},
                  {live + 900, live, 0, Stage::fine(), Stage::investigate()}}},
        Scenario{"FirstGuestAfterAQuietSpell",
                 {{live + 150, live, 0, Stage::quiet(150), Stage::quiet(150)},
                  {live + 150.25, live, 1, Stage::fine(), Stage::fine()},
                  {live + 400, live, 1, Stage::fine(), Stage::fine()},
                  // the count restarts with a new server, but a guest has been here
                  {live + 600, live + 300, 0, Stage::fine(), Stage::fine()}}},
        Scenario{"NotLive",
                 {{live + 1000, std::nullopt, 0, Stage::fine(), Stage::fine()}}},
        Scenario{"InvestigatesOncePerWatch",
                 {{live + 200, live, 0, Stage::investigate(), Stage::investigate()},
                  {live + 300, std::nullopt, 0, Stage::fine(), Stage::fine()}, // that rave ended
                  {live + 800, live + 700, 0, Stage::quiet(100), Stage::quiet(100)},
                  {live + 900, live + 700, 0, Stage::fine(), Stage::investigate()}}}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace zoranth
