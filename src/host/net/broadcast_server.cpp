#include "host/net/broadcast_server.h"

#include <boost/asio/bind_executor.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <utility>

#include "host/diagnostic_log.h"
#include "host/host_log.h"

namespace zoranth {
namespace {

// A failed accept (out of descriptors, say) is retried after this pause rather
// than in a tight loop or never again.
constexpr auto acceptRetryDelay = std::chrono::milliseconds(100);

std::string_view trimmedBlanks(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

// A value from /etc/machine-info, which is written in shell syntax.
std::string unquoted(std::string value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
    }
    std::string plain;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 1 < value.size()) {
            ++i;
        }
        plain += value[i];
    }
    return plain;
}

std::optional<std::string> prettyHostName() {
    std::ifstream file("/etc/machine-info");
    constexpr std::string_view key = "PRETTY_HOSTNAME=";
    for (std::string line; std::getline(file, line);) {
        if (line.starts_with(key)) {
            std::string name = unquoted(line.substr(key.size()));
            if (!name.empty()) {
                return name;
            }
        }
    }
    return std::nullopt;
}

std::expected<boost::asio::ip::tcp::acceptor, boost::system::error_code> listeningAcceptor(
    const boost::asio::any_io_executor& executor, const boost::asio::ip::tcp::endpoint& endpoint,
    bool dualStack) {
    boost::asio::ip::tcp::acceptor acceptor(executor);
    boost::system::error_code error;
    acceptor.open(endpoint.protocol(), error);
    if (!error && dualStack) {
        acceptor.set_option(boost::asio::ip::v6_only(false), error);
    }
    if (!error) {
        acceptor.set_option(boost::asio::socket_base::reuse_address(true), error);
    }
    if (!error) {
        acceptor.bind(endpoint, error);
    }
    if (!error) {
        acceptor.listen(boost::asio::socket_base::max_listen_connections, error);
    }
    if (error) {
        return std::unexpected(error);
    }
    return acceptor;
}

}  // namespace

// Gathers one snapshot per guest and hands the sorted list over once.
struct BroadcastServer::SnapshotCollector {
    SnapshotCollector(std::size_t expected, SnapshotsHandler completion)
        : expected(expected), completion(std::move(completion)) {}

    void add(GuestConnection::Snapshot snapshot) {
        std::vector<GuestConnection::Snapshot> complete;
        {
            std::lock_guard guard(lock);
            collected.push_back(std::move(snapshot));
            std::sort(collected.begin(), collected.end(),
                      [](const auto& a, const auto& b) { return a.id < b.id; });
            if (collected.size() != expected) {
                return;
            }
            complete = std::move(collected);
        }
        completion(std::move(complete));
    }

    std::mutex lock;
    std::vector<GuestConnection::Snapshot> collected;
    const std::size_t expected;
    const SnapshotsHandler completion;
};

std::string BroadcastServer::StartFailure::text() const {
    switch (kind) {
        case Case::alreadyStarted:
            return "the server has already been started";
        case Case::listenFailed:
            return "cannot listen on port " + std::to_string(port) + ": " + error.message();
    }
    return "unknown";
}

BroadcastServer::BroadcastServer(const Hello& hello, std::string_view name, DiagnosticSink log)
    : log_(log ? std::move(log) : DiagnosticSink(DiagnosticLog::write)),
      queue_("com.zoranth.server"),
      admission_(std::make_shared<GuestAdmission>(
          [log = log_](const std::string& line) { log(category, line); },
          [this](std::chrono::milliseconds delay, std::function<void()> work) {
              queue_.postAfter(delay, std::move(work));
          })),
      serviceName_(serviceNameFor(name, computerName())),
      hello_(hello),
      roster_(std::make_shared<const Roster>()) {}

BroadcastServer::~BroadcastServer() {
    // A server dropped without stop(): its guests go without a goodbye.
    for (const auto& [id, connection] : guests_) {
        connection->close();
    }
    for (const auto& [id, waiting] : unproven_) {
        waiting.connection->close();
    }
}

std::expected<void, BroadcastServer::StartFailure> BroadcastServer::start(
    const Listening& listening) {
    {
        std::lock_guard guard(lock_);
        if (started_) {
            return std::unexpected(StartFailure{StartFailure::Case::alreadyStarted, {}, 0});
        }
        started_ = true;
    }
    std::expected<void, StartFailure> result;
    queue_.sync([&] { result = listen(listening); });
    if (!result) {
        std::lock_guard guard(lock_);
        started_ = false;
        return result;
    }
    if (listening.advertises) {
        advertise();
    }
    return {};
}

std::expected<void, BroadcastServer::StartFailure> BroadcastServer::listen(
    const Listening& listening) {
    const std::uint16_t port = listening.preferredPort;
    std::expected<boost::asio::ip::tcp::acceptor, boost::system::error_code> acceptor =
        std::unexpected(boost::system::error_code());
    if (listening.address) {
        acceptor = listeningAcceptor(queue_.executor(), {*listening.address, port}, false);
    } else {
        // One socket for both families; a system without IPv6 gets an IPv4 one.
        acceptor =
            listeningAcceptor(queue_.executor(), {boost::asio::ip::address_v6::any(), port}, true);
        if (!acceptor) {
            acceptor = listeningAcceptor(queue_.executor(),
                                         {boost::asio::ip::address_v4::any(), port}, false);
        }
    }
    if (!acceptor) {
        return std::unexpected(
            StartFailure{StartFailure::Case::listenFailed, acceptor.error(), port});
    }
    acceptor_.emplace(std::move(*acceptor));
    boost::system::error_code ignored;
    const std::uint16_t actual = acceptor_->local_endpoint(ignored).port();
    {
        std::lock_guard guard(lock_);
        port_ = actual;
    }
    log("listening on port " + std::to_string(actual));
    accept();
    return {};
}

void BroadcastServer::advertise() {
    std::uint16_t port = 0;
    {
        std::lock_guard guard(lock_);
        port = port_;
    }
    auto registration = ServiceRegistration::start(
        {std::string(serviceType), serviceName_, port},
        [weak = weak_from_this()](const ServiceRegistration::Event& event) {
            if (auto self = weak.lock()) {
                self->registrationChanged(event);
            }
        });
    if (!registration) {
        log("service registration failed: " + registration.error().text);
        std::lock_guard guard(lock_);
        registrationFailure_ = registration.error();
        return;
    }
    std::shared_ptr<ServiceRegistration> unused;
    {
        std::lock_guard guard(lock_);
        if (stopped_) {
            unused = std::move(*registration);
        } else {
            registration_ = std::move(*registration);
        }
    }
}

void BroadcastServer::registrationChanged(const ServiceRegistration::Event& event) {
    if (const auto* established = std::get_if<ServiceRegistration::Established>(&event)) {
        {
            std::lock_guard guard(lock_);
            advertisedName_ = established->name;
        }
        log("advertised as " + established->name);
        return;
    }
    // A confirmed name stays: withdrawals are not followed.
    const auto& failure = std::get<ServiceRegistration::Failure>(event);
    log("service registration failed: " + failure.text);
    std::lock_guard guard(lock_);
    registrationFailure_ = failure;
}

void BroadcastServer::accept() {
    // Each connection is accepted onto a strand of its own, the queue it keeps as a guest:
    // a browser's WebSocket must run on the strand its connection then uses.
    acceptor_->async_accept(
        boost::asio::any_io_executor(boost::asio::make_strand(SerialQueue::context())),
        boost::asio::bind_executor(
            queue_.executor(), [weak = weak_from_this()](const boost::system::error_code& error,
                                                         boost::asio::ip::tcp::socket socket) {
                if (auto self = weak.lock()) {
                    self->accepted(error, std::move(socket));
                }
            }));
}

void BroadcastServer::accepted(const boost::system::error_code& error,
                               boost::asio::ip::tcp::socket socket) {
    if (error == boost::asio::error::operation_aborted || !acceptor_ || !acceptor_->is_open()) {
        return;
    }
    if (error) {
        log("listener failed: " + error.message());
        queue_.postAfter(acceptRetryDelay, [weak = weak_from_this()] {
            if (auto self = weak.lock(); self && self->acceptor_ && self->acceptor_->is_open()) {
                self->accept();
            }
        });
        return;
    }
    // Until it is a guest, a connection holds a ticket of its address: one address
    // opening connections by the hundred is turned away at once, before it costs anything.
    boost::system::error_code unknown;
    const auto remote = socket.remote_endpoint(unknown);
    Ticket ticket = unknown ? nullptr : admission_->enter(remote.address());
    if (!ticket) {
        socket.close(unknown);
        accept();
        return;
    }
    auto door = std::make_shared<GuestDoor>(
        std::move(socket), FirstBytes::wait,
        [weak = weak_from_this(), ticket = std::move(ticket)](
            GuestDoor::Kind kind, boost::asio::ip::tcp::socket socket,
            std::vector<std::uint8_t> firstBytes) {
            if (auto self = weak.lock()) {
                self->arrived(kind, std::move(socket), std::move(firstBytes), ticket);
            }
        });
    door->open();
    accept();
}

// On the new connection's strand.
void BroadcastServer::arrived(GuestDoor::Kind kind, boost::asio::ip::tcp::socket socket,
                              std::vector<std::uint8_t> firstBytes, Ticket ticket) {
    if (kind == GuestDoor::Kind::nativeGuest) {
        admit(
            [socket = std::move(socket), firstBytes = std::move(firstBytes),
             log = log_](Id id, const Hello& hello) mutable {
                return std::make_shared<GuestConnection>(id, std::move(socket), hello, log,
                                                         std::move(firstBytes));
            },
            std::move(ticket));
        return;
    }
    boost::system::error_code ignored;
    const std::string endpoint = GuestConnection::describe(socket.remote_endpoint(ignored));
    WebEntry::Limits limits;
    {
        std::lock_guard guard(lock_);
        std::erase_if(webClients_, [](const auto& client) { return client.expired(); });
        if (stopped_) {
            return;
        }
        if (webClients_.size() >= maxWebClients) {
            log("web client " + endpoint + " refused: " + std::to_string(maxWebClients) +
                " page connections are open already");
            return;
        }
        limits = webLimits_;
    }
    auto entry = std::make_shared<WebEntry>(
        std::move(socket), endpoint, firstBytes, serviceName_,
        [weak = weak_from_this(), log = log_,
         ticket = std::move(ticket)](std::unique_ptr<WebEntry::WebSocket> webSocket) {
            // The completed upgrade is the page's proof: a guest from here on.
            ticket->release();
            const auto self = weak.lock();
            if (!self) {
                return;
            }
            self->admit(
                [webSocket = std::move(webSocket), log](Id id, const Hello& hello) mutable {
                    return std::make_shared<GuestConnection>(id, std::move(webSocket), hello,
                                                             log);
                },
                nullptr);
        },
        log_, limits);
    {
        std::lock_guard guard(lock_);
        webClients_.push_back(entry);
    }
    entry->start();
}

void BroadcastServer::admit(Admission admission, Ticket ticket) {
    boost::asio::post(queue_.executor(), [weak = weak_from_this(), admission = std::move(admission),
                                          ticket = std::move(ticket)]() mutable {
        if (auto self = weak.lock()) {
            self->join(std::move(admission), std::move(ticket));
        }
    });
}

// On the server's queue: the hello is read here and changed only on this queue
// (changeFormat), so it cannot change before the guest is in the map that later changes
// reach.
void BroadcastServer::join(Admission admission, Ticket ticket) {
    Id id = 0;
    Hello hello;
    GuestConnection::AudioSentHandler audioSent;
    {
        std::lock_guard guard(lock_);
        if (stopped_) {
            return;  // the socket closes as the admission goes
        }
        id = nextGuestId_++;
        hello = hello_;
        audioSent = onAudioSent_;
    }
    auto connection = admission(id, hello);
    const std::string& endpoint = connection->endpointDescription();
    const std::string address = endpoint.substr(0, endpoint.rfind(':'));
    std::shared_ptr<const Roster> roster;
    {
        std::lock_guard guard(lock_);
        if (stopped_) {
            return;  // the connection closes as it goes
        }
        if (ticket) {
            // A native guest waits, off the stream, until it proves itself.
            unproven_.emplace(id, Unproven{connection, std::move(ticket)});
        } else if (!seat(id, connection, roster)) {
            connection->close();
            connection = nullptr;
        }
    }
    if (!connection) {
        return;  // refused: the room is full; the connection closes as it goes
    }
    if (roster) {
        publish(std::move(roster));
    }
    connection->setOnStateChange(
        [weakServer = weak_from_this(), weakConnection = std::weak_ptr(connection)](
            Id id, const GuestConnection::State& state) {
            if (auto server = weakServer.lock()) {
                server->guestStateChanged(weakConnection, id, state);
            }
        });
    if (!connection->isWebGuest()) {
        connection->expectProof(
            admission_->limits().proofLimit,
            [weak = weak_from_this()](Id id) {
                const auto self = weak.lock();
                return self && self->proven(id);
            },
            [weak = std::weak_ptr(admission_), address](Id) {
                if (const auto admission = weak.lock()) {
                    admission->closedSilent(address);
                }
            });
    }
    if (audioSent) {
        connection->setOnAudioSent(std::move(audioSent));
    }
    // Logged before starting, so the trail never shows a guest's path before its arrival.
    log("client " + std::to_string(id) + " connected from " + endpoint +
        (connection->isWebGuest() ? " over a websocket" : ""));
    if (connection->isWebGuest()) {
        announce(connection);
    }
    connection->start();
    if (connection->isWebGuest()) {
        guestsChanged();
    }
}

// Under lock_.
bool BroadcastServer::seat(Id id, const std::shared_ptr<GuestConnection>& connection,
                           std::shared_ptr<const Roster>& roster) {
    const std::string& endpoint = connection->endpointDescription();
    if (!admission_->roomFor(guests_.size(), endpoint.substr(0, endpoint.rfind(':')))) {
        return false;
    }
    guests_.emplace(id, connection);
    bitrateByGuest_[id] = defaultBitrate_;
    roster = makeRoster();
    return true;
}

// A guest on the stream: the lines that say so, and whether it may step down.
void BroadcastServer::announce(const std::shared_ptr<GuestConnection>& connection) {
    const Id id = connection->id();
    std::int32_t bitrate = 0;
    {
        std::lock_guard guard(lock_);
        const auto it = bitrateByGuest_.find(id);
        bitrate = it != bitrateByGuest_.end() ? it->second : defaultBitrate_;
    }
    const std::string& endpoint = connection->endpointDescription();
    log("guest " + std::to_string(id) + " stream + " + QualityTier::nearest(bitrate).label());
    HostLog::line("guest " + std::to_string(id) + " joined from " + endpoint +
                  (connection->isWebGuest() ? " (browser)" : ""));
    shareSteppability();
}

bool BroadcastServer::proven(Id id) {
    std::shared_ptr<GuestConnection> connection;
    Ticket ticket;  // let go of after the lock
    std::shared_ptr<const Roster> roster;
    bool seated = false;
    {
        std::lock_guard guard(lock_);
        const auto it = unproven_.find(id);
        if (it == unproven_.end()) {
            return false;  // stopped, or gone meanwhile
        }
        connection = std::move(it->second.connection);
        ticket = std::move(it->second.ticket);
        unproven_.erase(it);
        seated = seat(id, connection, roster);
    }
    ticket.reset();
    if (!seated) {
        return false;
    }
    publish(std::move(roster));
    announce(connection);
    // Its path was not told while it was unproven (a flood of silent connections would
    // fill the host log).
    HostLog::line("guest " + std::to_string(id) + " via " + connection->pathDescription());
    guestsChanged();
    return true;
}

void BroadcastServer::guestStateChanged(const std::weak_ptr<GuestConnection>& weakConnection, Id id,
                                        const GuestConnection::State& state) {
    const auto connection = weakConnection.lock();
    if (state.kind == GuestConnection::State::Case::ready) {
        {
            std::lock_guard guard(lock_);
            if (unproven_.contains(id)) {
                return;  // told once it proves itself
            }
        }
        HostLog::line("guest " + std::to_string(id) + " via " +
                      (connection ? connection->pathDescription() : "unknown path"));
        guestsChanged();
        return;
    }
    // Failed, then cancelled: the guest leaves once. Its bitrate entry outlives a
    // stop() that already emptied the guest map, so it marks who has not left yet.
    bool left = false;
    std::shared_ptr<const Roster> roster;
    Ticket ticket;  // let go of after the lock
    {
        std::lock_guard guard(lock_);
        if (const auto it = unproven_.find(id); it != unproven_.end()) {
            ticket = std::move(it->second.ticket);
            unproven_.erase(it);
        }
        guests_.erase(id);
        left = bitrateByGuest_.erase(id) > 0;
        if (left) {
            roster = makeRoster();
        }
    }
    if (roster) {
        publish(std::move(roster));
    }
    if (!left) {
        return;
    }
    log("client " + std::to_string(id) + " disconnected");
    std::string line = "guest " + std::to_string(id) + " left";
    if (connection && connection->latestStats() && !connection->latestStats()->deviceName.empty()) {
        line += " (" + connection->latestStats()->deviceName + ")";
    }
    HostLog::line(line);
    guestsChanged();
}

void BroadcastServer::guestsChanged() {
    std::function<void()> handler;
    {
        std::lock_guard guard(lock_);
        handler = onGuestsChanged_;
    }
    if (handler) {
        handler();
    }
}

void BroadcastServer::stop() {
    std::vector<std::shared_ptr<GuestConnection>> leaving;
    std::vector<std::shared_ptr<WebEntry>> pages;
    std::shared_ptr<ServiceRegistration> registration;
    std::shared_ptr<const Roster> roster;
    {
        std::lock_guard guard(lock_);
        if (stopped_) {
            return;
        }
        stopped_ = true;
        for (auto& [id, connection] : guests_) {
            leaving.push_back(std::move(connection));
        }
        guests_.clear();
        for (auto& [id, waiting] : unproven_) {
            leaving.push_back(std::move(waiting.connection));
        }
        unproven_.clear();
        roster = makeRoster();
        registration = std::move(registration_);
        for (const auto& client : webClients_) {
            if (const auto entry = client.lock()) {
                pages.push_back(entry);
            }
        }
        webClients_.clear();
    }
    publish(std::move(roster));
    for (const auto& connection : leaving) {
        connection->sayGoodbyeAndClose();
    }
    for (const auto& entry : pages) {
        entry->close();
    }
    const auto closeListener = [this] {
        boost::system::error_code ignored;
        if (acceptor_) {
            acceptor_->close(ignored);
            acceptor_.reset();
        }
    };
    if (queue_.isCurrent()) {
        closeListener();
    } else {
        queue_.sync(closeListener);
    }
    // Withdrawn outside the lock: the registration's handler takes it.
    registration.reset();
}

std::uint16_t BroadcastServer::port() const {
    std::lock_guard guard(lock_);
    return port_;
}

std::optional<std::string> BroadcastServer::advertisedName() const {
    std::lock_guard guard(lock_);
    return advertisedName_;
}

std::optional<ServiceRegistration::Failure> BroadcastServer::registrationFailure() const {
    std::lock_guard guard(lock_);
    return registrationFailure_;
}

BroadcastServer::Id BroadcastServer::nextGuestId() const {
    std::lock_guard guard(lock_);
    return nextGuestId_;
}

std::size_t BroadcastServer::guestCount() const {
    std::lock_guard guard(lock_);
    return guests_.size();
}

std::size_t BroadcastServer::unprovenCount() const {
    std::lock_guard guard(lock_);
    return unproven_.size();
}

void BroadcastServer::setAdmissionLimits(const GuestAdmission::Limits& limits) {
    admission_->setLimits(limits);
}

GuestAdmission::Limits BroadcastServer::admissionLimits() const {
    return admission_->limits();
}

GuestAdmission::Refusals BroadcastServer::refusals() const {
    return admission_->refusals();
}

std::vector<std::shared_ptr<GuestConnection>> BroadcastServer::connections() const {
    std::vector<std::shared_ptr<GuestConnection>> list;
    std::lock_guard guard(lock_);
    list.reserve(guests_.size());
    for (const auto& [id, connection] : guests_) {
        list.push_back(connection);
    }
    return list;
}

void BroadcastServer::updateFormat(const Hello& hello) {
    // Guests are admitted on the server's queue, so a change made there too meets every
    // guest on one side of it: admitted before, it gets the change; after, it starts with it.
    queue_.post([weak = weak_from_this(), hello] {
        if (auto self = weak.lock()) {
            self->changeFormat(hello);
        }
    });
}

void BroadcastServer::changeFormat(const Hello& hello) {
    std::vector<std::shared_ptr<GuestConnection>> list;
    {
        std::lock_guard guard(lock_);
        hello_ = hello;
        for (const auto& [id, connection] : guests_) {
            list.push_back(connection);
        }
        for (const auto& [id, waiting] : unproven_) {
            list.push_back(waiting.connection);
        }
    }
    for (const auto& connection : list) {
        connection->sendHello(hello);
    }
}

void BroadcastServer::broadcast(const TierFrames& frames, std::uint64_t deadlineNanos, double now) {
    if (frames.empty()) {
        return;
    }
    const std::shared_ptr<const Roster> roster = currentRoster();
    for (const Roster::Listener& listener : roster->listeners) {
        const int tier = streamFor(frames, listener);
        if (tier < 0) {
            continue;
        }
        listener.connection->setStreamTier(tier);
        listener.connection->enqueue(frames[QualityTier::allCases[static_cast<std::size_t>(tier)]],
                                     deadlineNanos, now);
    }
}

int BroadcastServer::streamFor(const TierFrames& frames, const Roster::Listener& listener) {
    const auto has = [&frames](int raw) {
        return raw >= 0 && raw < static_cast<int>(QualityTier::count) &&
               frames[QualityTier::allCases[static_cast<std::size_t>(raw)]] != nullptr;
    };
    const int wanted = listener.tier.rawValue();
    if (has(wanted)) {
        return wanted;
    }
    if (const int previous = listener.connection->streamTier(); has(previous)) {
        return previous;
    }
    for (int distance = 1; distance < static_cast<int>(QualityTier::count); ++distance) {
        if (has(wanted + distance)) {
            return wanted + distance;
        }
        if (has(wanted - distance)) {
            return wanted - distance;
        }
    }
    return -1;
}

TierSet BroadcastServer::tiersWanted() const {
    return currentRoster()->tiers;
}

std::shared_ptr<const BroadcastServer::Roster> BroadcastServer::currentRoster() const {
    std::lock_guard guard(rosterLock_);
    return roster_;
}

std::shared_ptr<const BroadcastServer::Roster> BroadcastServer::makeRoster() {
    auto roster = std::make_shared<Roster>();
    roster->version = ++rosterVersion_;
    roster->listeners.reserve(guests_.size());
    for (const auto& [id, connection] : guests_) {
        const auto bitrate = bitrateByGuest_.find(id);
        const QualityTier tier = QualityTier::nearest(
            bitrate != bitrateByGuest_.end() ? bitrate->second : defaultBitrate_);
        roster->listeners.push_back({connection, tier});
        roster->tiers.insert(tier);
    }
    return roster;
}

// Rosters made one after the other may arrive here in either order: the newer one stays.
void BroadcastServer::publish(std::shared_ptr<const Roster> roster) {
    Rosters released;  // let go of after the lock
    std::lock_guard guard(rosterLock_);
    if (roster->version > roster_->version) {
        std::swap(roster_, roster);
    }
    retired_.push_back(std::move(roster));
    releaseRetired(released);
}

// A retired roster held only here is read by no broadcast, and no broadcast can take it
// up again: it is no longer the published one.
void BroadcastServer::releaseRetired(Rosters& released) {
    for (auto it = retired_.begin(); it != retired_.end();) {
        if (it->use_count() == 1) {
            released.push_back(std::move(*it));
            it = retired_.erase(it);
        } else {
            ++it;
        }
    }
}

void BroadcastServer::sendControl(FrameQueue::Bytes frame) {
    for (const auto& connection : connections()) {
        connection->sendControl(frame);
    }
}

void BroadcastServer::setBitrates(const Bitrates& bitrates) {
    std::vector<std::string> moves;
    std::shared_ptr<const Roster> roster;
    {
        std::lock_guard guard(lock_);
        bool moved = false;
        for (const auto& [id, bitrate] : bitrates) {
            if (!guests_.contains(id)) {
                continue;
            }
            std::int32_t& current = bitrateByGuest_[id];
            const QualityTier from = QualityTier::nearest(current);
            const QualityTier to = QualityTier::nearest(bitrate);
            current = bitrate;
            if (from != to) {
                moved = true;
                moves.push_back("guest " + std::to_string(id) + " stream " +
                                std::to_string(from.bitrate() / 1000) + " -> " +
                                std::to_string(to.bitrate() / 1000) + " kbps");
            }
        }
        if (moved) {
            roster = makeRoster();
        }
    }
    if (roster) {
        publish(std::move(roster));
    }
    for (const std::string& line : moves) {
        log(line);
    }
    shareSteppability();
}

BroadcastServer::Bitrates BroadcastServer::guestBitrates() const {
    Bitrates bitrates;
    std::lock_guard guard(lock_);
    for (const auto& [id, bitrate] : bitrateByGuest_) {
        if (guests_.contains(id)) {
            bitrates.emplace(id, bitrate);
        }
    }
    return bitrates;
}

std::int32_t BroadcastServer::defaultBitrate() const {
    std::lock_guard guard(lock_);
    return defaultBitrate_;
}

void BroadcastServer::setDefaultBitrate(std::int32_t bitrate) {
    std::lock_guard guard(lock_);
    defaultBitrate_ = bitrate;
}

void BroadcastServer::setSteeringFloor(std::optional<std::int32_t> bitrate) {
    {
        std::lock_guard guard(lock_);
        if (steeringFloor_ == bitrate) {
            return;
        }
        steeringFloor_ = bitrate;
    }
    shareSteppability();
}

void BroadcastServer::shareSteppability() {
    // Under the lock, so that of two calls racing (a join, a steering pass) the one that
    // read the newer bitrates also has the last word. Each call is an atomic store.
    std::lock_guard guard(lock_);
    for (const auto& [id, connection] : guests_) {
        const auto bitrate = bitrateByGuest_.find(id);
        connection->setCanStepDown(steeringFloor_ && bitrate != bitrateByGuest_.end() &&
                                   bitrate->second > *steeringFloor_);
    }
}

void BroadcastServer::snapshots(SnapshotsHandler completion) {
    {
        // A periodic moment to let go of rosters the sender thread has finished with.
        Rosters released;
        std::lock_guard guard(rosterLock_);
        releaseRetired(released);
    }
    const auto list = connections();
    if (list.empty()) {
        completion({});
        return;
    }
    auto collector = std::make_shared<SnapshotCollector>(list.size(), std::move(completion));
    for (const auto& connection : list) {
        connection->snapshot([collector](GuestConnection::Snapshot snapshot) {
            collector->add(std::move(snapshot));
        });
    }
}

void BroadcastServer::setOnGuestsChanged(std::function<void()> handler) {
    std::lock_guard guard(lock_);
    onGuestsChanged_ = std::move(handler);
}

void BroadcastServer::setOnAudioSent(GuestConnection::AudioSentHandler handler) {
    std::lock_guard guard(lock_);
    onAudioSent_ = std::move(handler);
}

void BroadcastServer::setWebLimits(const WebEntry::Limits& limits) {
    std::lock_guard guard(lock_);
    webLimits_ = limits;
}

std::string BroadcastServer::serviceNameFor(std::string_view name,
                                            const std::optional<std::string>& computerName) {
    const std::string_view trimmed = trimmedBlanks(name);
    if (!trimmed.empty()) {
        return std::string(trimmed);
    }
    if (computerName && !computerName->empty()) {
        return *computerName;
    }
    return "Zoranth";
}

std::optional<std::string> BroadcastServer::computerName() {
    if (auto pretty = prettyHostName()) {
        return pretty;
    }
    char host[HOST_NAME_MAX + 1] = {};
    if (::gethostname(host, sizeof host - 1) == 0 && host[0] != '\0') {
        return std::string(host);
    }
    return std::nullopt;
}

void BroadcastServer::log(const std::string& text) const {
    log_(category, text);
}

std::expected<BroadcastServer::Listening, std::string> BroadcastServer::listeningFor(
    std::uint16_t port) {
    return listeningFor(port, std::getenv(listenAddressVariable));
}

std::expected<BroadcastServer::Listening, std::string> BroadcastServer::listeningFor(
    std::uint16_t port, const char* listenAddress) {
    Listening listening;
    listening.preferredPort = port;
    if (listenAddress == nullptr || *listenAddress == '\0') {
        return listening;
    }
    boost::system::error_code error;
    const auto address = boost::asio::ip::make_address(listenAddress, error);
    if (error) {
        return std::unexpected(std::string(listenAddressVariable) + " is not an IP address: \"" +
                               listenAddress + "\"");
    }
    listening.address = address;
    return listening;
}

}  // namespace zoranth
