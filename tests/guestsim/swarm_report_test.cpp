// The verdict on a run: what a normal guest may not see, and what --strict adds.
#include "guestsim/swarm_report.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

using zoranth::ClockEstimator;
using zoranth::SimulatedGuest;
using zoranth::SwarmReport;
using Behaviour = SimulatedGuest::Behaviour;
using Ending = SimulatedGuest::Ending;

SimulatedGuest::Report healthy(Behaviour behaviour) {
    SimulatedGuest::Report report;
    report.index = 4;
    report.behaviour = behaviour;
    report.stream.chunks = 250;
    report.clock = ClockEstimator::Estimate{-2'000'000, 90'000, 60'000, 16};
    report.offsetErrorNanos = 20'000;
    report.connections = 1;
    report.ending = Ending::connectedAtEnd;
    return report;
}

struct Case {
    const char* name;
    Behaviour behaviour;
    std::function<void(SimulatedGuest::Report&)> change;
    bool passes;        // without --strict
    bool passesStrict;  // with it
    const char* fault;  // a fragment of the first fault, when there is one
};

TEST(SwarmReportVerdict, JudgesTheHostByWhatItsGuestsSaw) {
    const auto none = [](SimulatedGuest::Report&) {};
    const std::vector<Case> cases{
        {"healthy normal guest", Behaviour::normal, none, true, true, ""},
        {"normal guest with a gap", Behaviour::normal,
         [](auto& r) { r.stream.gaps = 1, r.stream.missing = 3; }, false, false,
         "guest 4 (normal): 1 gap(s), 3 chunk(s) missing"},
        {"normal guest with a repeat", Behaviour::normal, [](auto& r) { r.stream.outOfOrder = 2; },
         false, false, "2 chunk(s) out of order"},
        {"normal guest with a time step", Behaviour::normal,
         [](auto& r) { r.stream.timeStepErrors = 1; }, false, false, "not 20 ms"},
        {"normal guest dropped", Behaviour::normal,
         [](auto& r) { r.ending = Ending::closedByHost; }, false, false,
         "lost its connection: closed by host"},
        {"normal guest never connected", Behaviour::normal,
         [](auto& r) { r.ending = Ending::neverConnected, r.stream.chunks = 0; }, false, false,
         "never connected"},
        {"normal guest without audio", Behaviour::normal, [](auto& r) { r.stream.chunks = 0; },
         false, false, "received no audio"},
        {"normal guest's clock 1.5 ms off", Behaviour::normal,
         [](auto& r) { r.offsetErrorNanos = -1'500'000; }, true, false,
         "clock offset off by -1.500 ms"},
        {"normal guest's clock exactly 1 ms off", Behaviour::normal,
         [](auto& r) { r.offsetErrorNanos = 1'000'000; }, true, true, ""},
        {"normal guest without a clock", Behaviour::normal,
         [](auto& r) { r.clock.reset(), r.offsetErrorNanos.reset(); }, true, false,
         "no clock measurement"},
        {"remote normal guest, truth unknown", Behaviour::normal,
         [](auto& r) { r.offsetErrorNanos.reset(); }, true, true, ""},
        {"slow guest with gaps", Behaviour::slow,
         [](auto& r) { r.stream.gaps = 40, r.stream.missing = 90; }, true, true, ""},
        {"stalled guest dropped", Behaviour::stalled, [](auto& r) { r.hostEndings = 3; }, true,
         true, ""},
        {"protocol error on any guest", Behaviour::silent,
         [](auto& r) { r.ending = Ending::protocolError, r.detail = "host sent badMagic(0)"; },
         false, false, "guest 4 (silent): the host's stream did not decode"},
        {"garbage kept by the host", Behaviour::garbage,
         [](auto& r) {
             r.garbage = {{SimulatedGuest::Garbage::badMagic, "127.0.0.1:1", true, 0.01},
                          {SimulatedGuest::Garbage::wrongLength, "127.0.0.1:2", false, 0}};
         },
         true, false, "the host kept a guest that sent wrong length"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimulatedGuest::Report report = healthy(c.behaviour);
        c.change(report);
        const std::vector<SimulatedGuest::Report> reports{healthy(Behaviour::normal), report};
        const auto relaxed = SwarmReport::verdict(reports, false);
        const auto strict = SwarmReport::verdict(reports, true);
        EXPECT_EQ(relaxed.passed(), c.passes);
        EXPECT_EQ(strict.passed(), c.passesStrict);
        if (!strict.passed()) {
            EXPECT_NE(strict.faults.front().find(c.fault), std::string::npos)
                << strict.faults.front();
        }
    }
}

TEST(SwarmReportSummary, TotalsEachBehaviourOnOneLine) {
    auto first = healthy(Behaviour::slow);
    first.stream.missing = 30;
    auto second = healthy(Behaviour::slow);
    second.stream.missing = 12;
    second.offsetErrorNanos = -700'000;
    auto garbage = healthy(Behaviour::garbage);
    garbage.garbage = {{SimulatedGuest::Garbage::badMagic, "127.0.0.1:1", true, 0.002},
                       {SimulatedGuest::Garbage::hugePayload, "127.0.0.1:2", true, 0.25}};
    const std::string summary = SwarmReport::behaviourSummary({first, garbage, second});
    EXPECT_NE(summary.find("behaviour slow guests=2 chunks=500 gaps=0 missing=42 "),
              std::string::npos)
        << summary;
    EXPECT_NE(summary.find("worst_offset_error_ms=-0.700\n"), std::string::npos) << summary;
    EXPECT_NE(summary.find("garbage_sent=2 garbage_dropped=2 slowest_drop_s=0.250\n"),
              std::string::npos)
        << summary;
}

}  // namespace
