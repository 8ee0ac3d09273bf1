#include "guestsim/guest_swarm.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>

namespace zoranth {

GuestSwarm::GuestSwarm(std::vector<SimulatedGuest::Settings> guests)
    : settings_(std::move(guests)) {}

void GuestSwarm::run(std::chrono::milliseconds duration) {
    auto now = Clock::now();
    const auto end = now + duration;
    guests_.clear();
    for (const auto& settings : settings_) {
        guests_.push_back(std::make_unique<SimulatedGuest>(settings, now));
    }
    std::vector<pollfd> polled;
    std::vector<SimulatedGuest*> owners;
    while (!stopRequested_ && now < end) {
        auto wake = end;
        polled.clear();
        owners.clear();
        for (const auto& guest : guests_) {
            guest->advance(now);
            wake = std::min(wake, guest->nextWake());
            if (guest->descriptor() >= 0) {
                // Even with no events asked for, poll reports a hang-up or an error.
                polled.push_back({guest->descriptor(), guest->wantedEvents(), 0});
                owners.push_back(guest.get());
            }
        }
        // At least a millisecond: a timer that is due again at once must not spin the loop.
        const auto wait = std::clamp(std::chrono::ceil<std::chrono::milliseconds>(wake - now),
                                     std::chrono::milliseconds(1), maxPollWait);
        const int ready = ::poll(polled.data(), polled.size(), static_cast<int>(wait.count()));
        now = Clock::now();
        if (ready <= 0) {
            continue;  // a timeout, or EINTR: the timers are looked at again
        }
        for (std::size_t i = 0; i < polled.size(); ++i) {
            if (polled[i].revents != 0) {
                owners[i]->onEvents(polled[i].revents, now);
            }
        }
    }
    now = Clock::now();
    for (const auto& guest : guests_) {
        guest->finish(now);
    }
}

std::vector<SimulatedGuest::Report> GuestSwarm::reports() const {
    std::vector<SimulatedGuest::Report> reports;
    for (const auto& guest : guests_) {
        reports.push_back(guest->report());
    }
    return reports;
}

}  // namespace zoranth
