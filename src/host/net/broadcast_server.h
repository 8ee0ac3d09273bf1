// The host's network face: listens for guests on one port, advertises the rave as
// _zoranth._tcp, serves the guest page to browsers on that same port (a WebSocket on
// /ws is a guest like any other), gives every guest a GuestConnection and fans the stream out to them: each guest is on
// the stream of its quality tier, and every guest on a tier is handed the same frame.
// Create it with std::make_shared; every operation may be called from any thread. The
// listener runs on the serial queue "com.zoranth.server", each guest on its own.
// broadcast() and tiersWanted() are the sender thread's: they read a snapshot of who is
// on which stream, published whenever guests or their tiers change, and neither allocate,
// log, nor wait on a lock held for more than a pointer copy.
#pragma once

#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>

#include <cstdint>
#include <expected>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/net/guest_admission.h"
#include "host/net/guest_connection.h"
#include "host/net/guest_door.h"
#include "host/serial_queue.h"
#include "host/web/web_entry.h"
#include "kit/frame_queue.h"
#include "kit/quality_tier.h"
#include "kit/tier_frames.h"
#include "platform/avahi/service_registration.h"
#include "protocol/wire_format.h"

namespace zoranth {

class BroadcastServer : public std::enable_shared_from_this<BroadcastServer> {
  public:
    using Id = GuestConnection::Id;
    using Bitrates = std::map<Id, std::int32_t>;
    using SnapshotsHandler = std::function<void(std::vector<GuestConnection::Snapshot>)>;

    struct Listening {
        std::uint16_t preferredPort = 0;  // 0: any free port the system chooses
        // Absent: every interface (IPv6 and IPv4 together where the system allows).
        std::optional<boost::asio::ip::address> address;
        // Whether to register the service with the DNS-SD daemon.
        bool advertises = true;
    };

    struct StartFailure {
        enum class Case { alreadyStarted, listenFailed };
        Case kind = Case::listenFailed;
        boost::system::error_code error;  // why the socket could not listen
        std::uint16_t port = 0;

        std::string text() const;
        friend bool operator==(const StartFailure&, const StartFailure&) = default;
    };

    // Serve mode's and the window's listening on `port`: every interface, unless the
    // environment's ZORANTH_LISTEN_ADDRESS names the one address to listen on (the tests
    // keep the host on loopback with it). A value that is no IP address is refused with
    // the reason.
    static std::expected<Listening, std::string> listeningFor(std::uint16_t port);
    static std::expected<Listening, std::string> listeningFor(std::uint16_t port,
                                                              const char* listenAddress);
    static constexpr const char* listenAddressVariable = "ZORANTH_LISTEN_ADDRESS";

    static constexpr std::string_view category = "server";
    static constexpr std::string_view serviceType = "_zoranth._tcp";
    static constexpr std::int32_t initialDefaultBitrate = 128000;
    // Page connections (loading the page or its assets, or not yet a WebSocket guest)
    // open at once; one more is closed at once with a log line.
    static constexpr std::size_t maxWebClients = 256;

    // `name` is the rave's name; blank, it falls back to this computer's name.
    BroadcastServer(const Hello& hello, std::string_view name, DiagnosticSink log = {});
    ~BroadcastServer();
    BroadcastServer(const BroadcastServer&) = delete;
    BroadcastServer& operator=(const BroadcastServer&) = delete;

    // Opens the listener and starts accepting and advertising. Only a socket that
    // cannot listen fails; nothing is started then. Called once.
    std::expected<void, StartFailure> start(const Listening& listening);
    // Says goodbye to every guest, closes the listener and withdraws the service.
    void stop();

    // 0 until listening; then the port actually listened on.
    std::uint16_t port() const;
    // The name the DNS-SD daemon confirmed; absent until then, and without a daemon.
    std::optional<std::string> advertisedName() const;
    // Why avahi-daemon did not announce the rave, when it said; none otherwise.
    std::optional<ServiceRegistration::Failure> registrationFailure() const;
    const std::string& serviceName() const { return serviceName_; }
    Id nextGuestId() const;
    // Proven guests: those on the stream.
    std::size_t guestCount() const;
    // Native connections past their hello that have not proven themselves guests yet.
    std::size_t unprovenCount() const;

    // How many guests the rave takes, and how many connections one address may hold
    // before they are guests. Applies to later connections.
    void setAdmissionLimits(const GuestAdmission::Limits& limits);
    GuestAdmission::Limits admissionLimits() const;
    // How often a limit turned connections away, and the latest burst's line.
    GuestAdmission::Refusals refusals() const;

    // A new stream format: every guest gets it next, and later guests first. Applied on
    // the server's queue, in order with the guests' admissions.
    void updateFormat(const Hello& hello);
    // Hands each guest the frame of its tier. While its tier has no frame (its stream is
    // starting, or its encode failed) a guest stays on the stream it was on, else takes
    // the nearest one there is, lower quality first. One thread at a time (the sender).
    void broadcast(const TierFrames& frames, std::uint64_t deadlineNanos, double now);
    // The tiers the guests are on, for the pipeline to encode.
    TierSet tiersWanted() const;
    // One complete frame (beat, cue) for every guest, ahead of their audio.
    void sendControl(FrameQueue::Bytes frame);

    // Per-guest bitrates: only ids still connected are changed or reported. A guest is on
    // the stream of the best tier at or below its bitrate; it moves at the next chunk.
    void setBitrates(const Bitrates& bitrates);
    Bitrates guestBitrates() const;
    // The bitrate a newly connected guest starts with.
    std::int32_t defaultBitrate() const;
    void setDefaultBitrate(std::int32_t bitrate);
    // The lowest bitrate the quality steering may lower a guest to; none (the start):
    // nobody lowers any. A guest above it whose link stalls is waited for while it keeps
    // talking (GuestConnection::stallLimitSeconds).
    void setSteeringFloor(std::optional<std::int32_t> bitrate);

    // Every guest's snapshot sorted by id, delivered once: at once on the caller's
    // thread when nobody is connected, otherwise on the queue of the last to answer.
    void snapshots(SnapshotsHandler completion);

    // Called after a guest joins, becomes ready or leaves, on the server's queue or
    // a guest's queue.
    void setOnGuestsChanged(std::function<void()> handler);
    // Called on a guest's queue after each of its audio frames reached the socket.
    void setOnAudioSent(GuestConnection::AudioSentHandler handler);
    // The bounds every later page connection is held to (tests shorten the waits).
    void setWebLimits(const WebEntry::Limits& limits);

    // The advertised name: `name` without leading and trailing spaces and tabs; when
    // that is empty the computer's name, and without one "Zoranth".
    static std::string serviceNameFor(std::string_view name,
                                      const std::optional<std::string>& computerName);
    // The pretty host name (as hostnamectl sets it), else the host name.
    static std::optional<std::string> computerName();

  private:
    struct SnapshotCollector;

    // Who is on which tier stream: immutable once published.
    struct Roster {
        struct Listener {
            std::shared_ptr<GuestConnection> connection;
            QualityTier tier;
        };
        std::vector<Listener> listeners;
        TierSet tiers;
        std::uint64_t version = 0;
    };
    using Rosters = std::vector<std::shared_ptr<const Roster>>;

    std::expected<void, StartFailure> listen(const Listening& listening);
    void advertise();
    void registrationChanged(const ServiceRegistration::Event& event);
    void accept();
    void accepted(const boost::system::error_code& error, boost::asio::ip::tcp::socket socket);
    // Makes the guest's connection once it has its id and the hello of the moment.
    using Admission =
        std::move_only_function<std::shared_ptr<GuestConnection>(Id, const Hello&)>;
    using Ticket = std::shared_ptr<GuestAdmission::Ticket>;
    void arrived(GuestDoor::Kind kind, boost::asio::ip::tcp::socket socket,
                 std::vector<std::uint8_t> firstBytes, Ticket ticket);
    void admit(Admission admission, Ticket ticket);
    void join(Admission admission, Ticket ticket);
    // On the guest's queue: an unproven native guest asked the time or reported.
    bool proven(Id id);
    // Under lock_: puts a proven guest on the stream, or refuses it (false) when the room
    // is full.
    bool seat(Id id, const std::shared_ptr<GuestConnection>& connection,
              std::shared_ptr<const Roster>& roster);
    void announce(const std::shared_ptr<GuestConnection>& connection);
    void guestStateChanged(const std::weak_ptr<GuestConnection>& weakConnection, Id id,
                           const GuestConnection::State& state);
    void changeFormat(const Hello& hello);
    // Under lock_: the guests as they are now. Then, after lock_, publish() makes it the
    // one the sender thread reads.
    std::shared_ptr<const Roster> makeRoster();
    void publish(std::shared_ptr<const Roster> roster);
    // Under rosterLock_: rosters nobody reads any more go to `released`, to be let go of
    // after the lock.
    void releaseRetired(Rosters& released);
    static int streamFor(const TierFrames& frames, const Roster::Listener& listener);
    std::shared_ptr<const Roster> currentRoster() const;
    void guestsChanged();
    // Tells every guest whether its bitrate can still come down.
    void shareSteppability();
    std::vector<std::shared_ptr<GuestConnection>> connections() const;
    void log(const std::string& text) const;

    const DiagnosticSink log_;
    SerialQueue queue_;
    std::shared_ptr<GuestAdmission> admission_;
    const std::string serviceName_;
    std::optional<boost::asio::ip::tcp::acceptor> acceptor_;  // only on queue_

    mutable std::mutex lock_;  // the server's lock: everything below
    std::map<Id, std::shared_ptr<GuestConnection>> guests_;  // proven: on the stream
    // Native guests past their hello, not yet proven: no audio, no tier stream.
    struct Unproven {
        std::shared_ptr<GuestConnection> connection;
        Ticket ticket;
    };
    std::map<Id, Unproven> unproven_;
    Id nextGuestId_ = 1;
    std::uint16_t port_ = 0;
    std::optional<std::string> advertisedName_;
    Hello hello_;  // changed only on queue_
    Bitrates bitrateByGuest_;
    std::int32_t defaultBitrate_ = initialDefaultBitrate;
    std::optional<std::int32_t> steeringFloor_;
    bool started_ = false;
    bool stopped_ = false;
    std::shared_ptr<ServiceRegistration> registration_;
    std::optional<ServiceRegistration::Failure> registrationFailure_;
    std::function<void()> onGuestsChanged_;
    GuestConnection::AudioSentHandler onAudioSent_;
    std::uint64_t rosterVersion_ = 0;
    std::vector<std::weak_ptr<WebEntry>> webClients_;  // open page connections
    WebEntry::Limits webLimits_;

    // Held only to copy or swap the pointer and to sweep the few retired rosters: the
    // sender thread never waits behind real work.
    mutable std::mutex rosterLock_;  // roster_, retired_
    std::shared_ptr<const Roster> roster_;
    // Published rosters no longer current, kept until no broadcast holds them, so that the
    // sender thread never lets go of the last reference (and never frees a roster or a
    // connection).
    Rosters retired_;
};

}  // namespace zoranth
