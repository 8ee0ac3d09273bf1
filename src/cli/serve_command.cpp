#include "cli/serve_command.h"

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "cli/serve_report.h"
#include "cli/stop_signals.h"
#include "host/checks/system_checkup.h"
#include "host/host_log.h"
#include "host/installed_files.h"
#include "host/net/broadcast_server.h"
#include "host/net/network_watch.h"
#include "host/session/main_queue.h"
#include "host/session/rave_session.h"
#include "host/wall_clock.h"
#include "host/web/join_code.h"
#include "host/web/join_link.h"
#include "platform/network/local_interfaces.h"

namespace zoranth {
namespace {

constexpr auto registrationWait = std::chrono::seconds(4);
constexpr auto startWait = std::chrono::hours(1);  // the capture may wait on a person
constexpr double statusEverySeconds = 2.0;

void line(const std::string& text) {
    HostLog::line(text);
}

void lines(const std::vector<std::string>& texts) {
    for (const std::string& text : texts) {
        line(text);
    }
}

// Prints the warning when no network is up for guests to reach, and tells the session so
// its no-guest watch knows.
std::shared_ptr<NetworkWatch> watchNetwork(MainQueue& main, std::weak_ptr<RaveSession> session) {
    auto watch = std::make_shared<NetworkWatch>();
    watch->setOnChange([post = main.poster(), session](const NetworkWatch::Status& status) {
        const bool unavailable = status.kind == NetworkWatch::Status::Case::unavailable;
        if (unavailable) {
            line("");
            line(NetworkWatch::unavailableWarning(status));
        }
        post([session, unavailable] {
            if (const auto live = session.lock()) {
                live->setNetworkUnavailable(unavailable);
            }
        });
    });
    watch->start();
    return watch;
}

// The one address the environment pins the server to, if it does.
std::optional<std::string> pinnedAddress() {
    const char* listening = std::getenv(BroadcastServer::listenAddressVariable);
    return listening != nullptr && *listening != '\0' ? std::optional<std::string>(listening)
                                                       : std::nullopt;
}

// The addresses receivers reach the rave on: the pinned one, or every usable one.
std::vector<std::string> receiverAddresses() {
    if (const auto pinned = pinnedAddress()) {
        return {*pinned};
    }
    return LocalInterfaces::guestAddresses();
}

// The link a phone opens, on the address the server listens on when the environment
// pins one, and its QR code when one can be made.
ServeReport::Join joinFor(std::uint16_t port) {
    ServeReport::Join join;
    join.link = JoinLink::forThisComputer(pinnedAddress(), port);
    if (const auto code = JoinCode::make(join.link)) {
        join.code = code->terminalText();
    }
    return join;
}

bool registered(const RaveSession& session) {
    const auto& server = session.server();
    return server && server->port() != 0 && server->advertisedName();
}

// Until the stop signal or the duration: the session's refresh every quarter second, a
// status line every two seconds, the network verdict whenever it changes.
void statusLoop(MainQueue& main, RaveSession& session, std::optional<double> seconds,
                const StopSignals& stop) {
    const double start = WallClock::now();
    double lastReport = start;
    std::string lastVerdict = session.health().summary;
    bool toldRefusals = false;
    for (;;) {
        main.runFor(RaveSession::tickInterval);
        const double now = WallClock::now();
        const double elapsed = now - start;
        if (seconds && elapsed >= *seconds) {
            return;
        }
        session.tick(now);
        if (session.health().summary != lastVerdict) {
            lastVerdict = session.health().summary;
            line("network: " + lastVerdict);
        }
        if (!toldRefusals && session.server()->refusals().total > 0) {
            toldRefusals = true;  // once: the log has every burst
            line("admission: " + session.admissionText());
        }
        if (now - lastReport >= statusEverySeconds) {
            lastReport = now;
            line(ServeReport::statusLine(elapsed, session.stats(), session.server()->guestCount()));
            for (const auto& guest : session.guests()) {
                line(ServeReport::guestLine(guest));
            }
        }
        if (stop.stopRequested()) {
            return;
        }
    }
}

}  // namespace

int ServeCommand::run(std::uint16_t port, std::uint16_t delayMs, std::optional<double> seconds) {
    line("");
    line("=== serve ===");
    MainQueue main;
    RaveSession::Dependencies dependencies;
    dependencies.post = main.poster();
    const auto session = RaveSession::create(
        {raveName, static_cast<double>(delayMs), QualityTier::minimum, true, maxGuests},
        dependencies);
    const auto network = watchNetwork(main, session);

    session->start(port != 0 ? std::optional(port) : std::nullopt);
    main.runUntil([&] { return session->state().kind != RaveSession::State::Case::starting; },
                  startWait);
    if (session->state().kind != RaveSession::State::Case::broadcasting) {
        network->cancel();
        return 1;
    }
    main.runUntil([&] { return registered(*session); }, registrationWait);
    const std::uint16_t listeningPort = session->server()->port();
    lines(ServeReport::announcement(
        listeningPort, session->server()->advertisedName(), receiverAddresses(),
        delayMs, InstalledFiles::receiverCommand(),
        SystemCheckup::discoveryWarning(session->server()->registrationFailure()),
        joinFor(listeningPort)));
    {
        const StopSignals stop;
        statusLoop(main, *session, seconds, stop);
    }
    const auto final = session->stop();
    lines(ServeReport::summary(final.value_or(CapturePipeline::Stats{})));
    network->cancel();
    return 0;
}

}  // namespace zoranth
