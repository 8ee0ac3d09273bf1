// zoranth-guestsim: plays many guests against a rave's host for a bounded time and
// prints what each received, a summary per behaviour and the verdict.
#include <csignal>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "guestsim/guest_swarm.h"
#include "guestsim/guestsim_options.h"
#include "guestsim/swarm_report.h"

namespace {

zoranth::GuestSwarm* runningSwarm = nullptr;

extern "C" void stopOnSignal(int) {
    if (runningSwarm != nullptr) {
        runningSwarm->stop();  // an atomic store: safe in a signal handler
    }
}

}  // namespace

int main(int argc, char** argv) {
    using zoranth::GuestsimOptions;
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    const auto options = GuestsimOptions::parse(arguments);
    if (!options) {
        std::fprintf(stderr, "zoranth-guestsim: %s\n\n%s", options.error().text().c_str(),
                     GuestsimOptions::usage().c_str());
        return 2;
    }
    if (options->help) {
        std::fputs(GuestsimOptions::usage().c_str(), stdout);
        return 0;
    }
    std::printf("guestsim: %d guest(s) against %s:%u for %.1f s\n", options->guestCount(),
                options->host.c_str(), options->port, options->seconds);
    std::fflush(stdout);

    zoranth::GuestSwarm swarm(options->guestSettings());
    runningSwarm = &swarm;
    std::signal(SIGINT, stopOnSignal);
    std::signal(SIGTERM, stopOnSignal);
    swarm.run(std::chrono::milliseconds(static_cast<long long>(options->seconds * 1000)));
    runningSwarm = nullptr;

    const auto reports = swarm.reports();
    std::fputs(zoranth::SwarmReport::guestTable(reports).c_str(), stdout);
    std::fputs("\n", stdout);
    std::fputs(zoranth::SwarmReport::behaviourSummary(reports).c_str(), stdout);
    const auto verdict = zoranth::SwarmReport::verdict(reports, options->strict);
    for (const auto& fault : verdict.faults) {
        std::printf("FAULT %s\n", fault.c_str());
    }
    std::printf("result: %s\n", verdict.passed() ? "ok" : "FAILED");
    return verdict.passed() ? 0 : 1;
}
