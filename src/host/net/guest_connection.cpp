#include "host/net/guest_connection.h"

#include <boost/asio/bind_allocator.hpp>
#include <boost/asio/bind_executor.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/websocket/error.hpp>

#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <filesystem>
#include <fstream>
#include <span>
#include <utility>

#include "host/diagnostic_log.h"
#include "host/wall_clock.h"
#include "platform/network/local_interfaces.h"
#include "protocol/frame_encoder.h"
#include "protocol/mach_clock.h"

namespace zoranth {
namespace {

constexpr int keepAliveIdleSeconds = 10;
constexpr int keepAliveIntervalSeconds = 5;
constexpr int keepAliveProbes = 3;

FrameQueue::Bytes encoded(const Message& message) {
    return FrameQueue::share(FrameEncoder::encode(message));
}

boost::asio::ip::address unmapped(const boost::asio::ip::address& address) {
    if (address.is_v6() && address.to_v6().is_v4_mapped()) {
        return boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, address.to_v6());
    }
    return address;
}

// The interface kinds a path reports: wifi, wiredEthernet, loopback or other.
std::string interfaceType(const std::string& name) {
    const std::filesystem::path device = std::filesystem::path("/sys/class/net") / name;
    std::error_code ignored;
    if (std::filesystem::exists(device / "wireless", ignored)) {
        return "wifi";
    }
    std::ifstream typeFile(device / "type");
    int linkType = 0;
    if (!(typeFile >> linkType)) {
        return "other";
    }
    if (linkType == 772) {  // ARPHRD_LOOPBACK
        return "loopback";
    }
    return linkType == 1 ? "wiredEthernet" : "other";  // ARPHRD_ETHER
}

// The strand the guest's socket already runs on, or a new one.
SerialQueue queueFor(GuestConnection::Id id, const boost::asio::any_io_executor& executor) {
    std::string label = "com.zoranth.app." + std::to_string(id);
    if (const auto* strand = executor.target<SerialQueue::Executor>()) {
        return SerialQueue(std::move(label), *strand);
    }
    return SerialQueue(std::move(label));
}

std::string remoteOf(const boost::asio::ip::tcp::socket& socket) {
    boost::system::error_code error;
    const auto remote = socket.remote_endpoint(error);
    return error ? std::string("unknown endpoint") : GuestConnection::describe(remote);
}

void setIntOption(int fd, int level, int option, int value) {
    [[maybe_unused]] const int result = ::setsockopt(fd, level, option, &value, sizeof value);
}

}  // namespace

std::string GuestConnection::Snapshot::displayName() const {
    if (stats && !stats->deviceName.empty()) {
        return stats->deviceName;
    }
    return endpoint;
}

GuestConnection::GuestConnection(Id id, boost::asio::ip::tcp::socket socket, const Hello& hello,
                                 DiagnosticSink log, std::vector<std::uint8_t> firstBytes)
    : id_(id),
      log_(log ? std::move(log) : DiagnosticSink(DiagnosticLog::write)),
      queue_(queueFor(id, socket.get_executor())),
      receiveBuffer_(receiveChunkBytes),
      socket_(std::move(socket)),
      firstBytes_(std::move(firstBytes)),
      endpoint_(remoteOf(socket_)),
      decoder_(decoderReserveBytes),
      audioQueue_(hello.bufferDelayMs / 1000.0 + 0.5, chunkSeconds),
      connectedAt_(WallClock::now()),
      pendingHello_(hello) {}

GuestConnection::GuestConnection(Id id, std::unique_ptr<WebSocketTransport::WebSocket> webSocket,
                                 const Hello& hello, DiagnosticSink log)
    : id_(id),
      log_(log ? std::move(log) : DiagnosticSink(DiagnosticLog::write)),
      queue_(queueFor(id, webSocket->get_executor())),
      socket_(queue_.executor()),
      web_(std::make_unique<WebSocketTransport>(std::move(webSocket))),
      endpoint_(remoteOf(web_->socket())),
      decoder_(decoderReserveBytes),
      audioQueue_(hello.bufferDelayMs / 1000.0 + 0.5, chunkSeconds),
      connectedAt_(WallClock::now()),
      pendingHello_(hello) {}

GuestConnection::~GuestConnection() = default;

template <class Work>
void GuestConnection::onQueue(Work&& work) {
    boost::asio::post(
        queue_.executor(),
        [self = shared_from_this(), work = std::forward<Work>(work)]() mutable { work(*self); });
}

void GuestConnection::setOnStateChange(StateHandler handler) {
    onStateChange_ = std::move(handler);
}

void GuestConnection::setOnStats(StatsHandler handler) {
    onStats_ = std::move(handler);
}

void GuestConnection::setOnAudioSent(AudioSentHandler handler) {
    onAudioSent_ = std::move(handler);
}

void GuestConnection::expectProof(std::chrono::milliseconds limit, ProvenHandler onProven,
                                  SilentHandler onSilent) {
    proofLimit_ = limit;
    onProven_ = std::move(onProven);
    onSilent_ = std::move(onSilent);
    proven_ = false;
}

void GuestConnection::start() {
    onQueue([](GuestConnection& self) { self.begin(); });
}

void GuestConnection::enqueue(const FrameQueue::Bytes& audio, std::uint64_t deadlineNanos,
                              double now) {
    // Once a frame has had to go the slow way, the ones after it follow it until the
    // queue has taken them all, so that none overtakes another.
    const std::uint32_t format = formatsAnnounced_.load(std::memory_order_acquire);
    if (spilled_.load(std::memory_order_acquire) > 0 ||
        !inbox_.push(audio, deadlineNanos, now, format)) {
        spill(audio, deadlineNanos, now);
        return;
    }
    if (wakePending_.exchange(true, std::memory_order_acq_rel)) {
        return;  // the wake-up already on its way takes this frame too
    }
    boost::asio::post(queue_.executor(), boost::asio::bind_allocator(
                                             HandlerAllocator<void>(wakeMemory_),
                                             [self = shared_from_this()] { self->takeInbox(); }));
}

// The inbox is full: the queue has not run for over a second. The frame is posted on its
// own (which allocates), behind everything handed over before it.
void GuestConnection::spill(const FrameQueue::Bytes& audio, std::uint64_t deadlineNanos,
                            double now) {
    spilled_.fetch_add(1, std::memory_order_acq_rel);
    onQueue([audio, deadlineNanos, now](GuestConnection& self) {
        self.takeInbox();
        self.enqueueAudio(audio, deadlineNanos, now);
        self.spilled_.fetch_sub(1, std::memory_order_acq_rel);
    });
}

void GuestConnection::sendHello(const Hello& hello) {
    // Counted here, on the caller's thread, so that audio handed over after this call is
    // told from audio handed over before it, whichever reaches the queue first.
    const std::uint32_t format = formatsAnnounced_.fetch_add(1, std::memory_order_acq_rel) + 1;
    onQueue([hello, format](GuestConnection& self) { self.changeFormat(hello, format); });
}

void GuestConnection::sendControl(FrameQueue::Bytes frame) {
    onQueue([frame = std::move(frame)](GuestConnection& self) mutable {
        self.appendPriority(std::move(frame));
        self.pump();
    });
}

void GuestConnection::snapshot(std::function<void(Snapshot)> completion) {
    onQueue([completion = std::move(completion)](GuestConnection& self) {
        self.takeInbox();  // everything handed over before the question counts
        Snapshot snapshot;
        snapshot.id = self.id_;
        snapshot.endpoint = self.endpoint_;
        snapshot.queuedBytes = self.audioQueue_.byteCount();
        snapshot.occupancy = self.audioQueue_.occupancy();
        snapshot.droppedFrames = self.audioQueue_.droppedFrames();
        snapshot.expiredFrames = self.audioQueue_.expiredFrames();
        snapshot.framesSent = self.framesSent_;
        snapshot.bytesSent = self.bytesSent_;
        snapshot.stats = self.stats_;
        snapshot.statsAt = self.statsAt_;
        snapshot.isOverBudget = self.overBudgetSince_.has_value();
        completion(std::move(snapshot));
    });
}

void GuestConnection::setCanStepDown(bool canStepDown) {
    canStepDown_.store(canStepDown, std::memory_order_relaxed);
}

void GuestConnection::close() {
    onQueue([](GuestConnection& self) { self.closeNow(); });
}

void GuestConnection::sayGoodbyeAndClose() {
    onQueue([](GuestConnection& self) { self.goodbye(); });
}

std::string GuestConnection::describe(const boost::asio::ip::tcp::endpoint& endpoint) {
    return unmapped(endpoint.address()).to_string() + ":" + std::to_string(endpoint.port());
}

boost::asio::ip::tcp::socket& GuestConnection::lowestSocket() {
    return web_ ? web_->socket() : socket_;
}

const boost::asio::ip::tcp::socket& GuestConnection::lowestSocket() const {
    return web_ ? web_->socket() : socket_;
}

std::string GuestConnection::pathDescription() const {
    const auto& socket = lowestSocket();
    boost::system::error_code error;
    const auto local =
        socket.is_open() ? socket.local_endpoint(error) : boost::asio::ip::tcp::endpoint();
    if (!socket.is_open() || error) {
        return "unknown path";
    }
    const auto name = LocalInterfaces::interfaceCarrying(unmapped(local.address()).to_string());
    const std::string interface = name ? *name + " (" + interfaceType(*name) + ")" : "?";
    return interface + ", host address " + describe(local);
}

// Everything below runs on the connection's queue.

void GuestConnection::begin() {
    if (pendingHello_) {
        // Queued ahead of everything, audio included: the guest's first frame.
        appendPriority(encoded(*pendingHello_));
        pendingHello_.reset();
    }
    if (closed_) {
        return;
    }
    tuneSocket(lowestSocket());
    awaitProof();
    deliverState(State::ready());
    boost::asio::post(queue_.executor(), [self = shared_from_this()] {
        self->isReady_ = true;
        self->pump();
    });
    if (!firstBytes_.empty()) {
        decoder_.append(firstBytes_);
        firstBytes_ = {};
        drain();
    }
    if (!closed_) {
        receive();
    }
}

void GuestConnection::awaitProof() {
    if (proven_ || !proofLimit_) {
        return;
    }
    proofTimer_.emplace(queue_.executor(), *proofLimit_);
    proofTimer_->async_wait([weak = weak_from_this()](const boost::system::error_code& error) {
        const auto self = weak.lock();
        if (!self || error || self->proven_ || self->closed_) {
            return;
        }
        if (self->onSilent_) {
            self->onSilent_(self->id_);
        }
        self->closeNow();
    });
}

void GuestConnection::tuneSocket(boost::asio::ip::tcp::socket& socket) {
    boost::system::error_code ignored;
    socket.set_option(boost::asio::ip::tcp::no_delay(true), ignored);
    socket.set_option(boost::asio::socket_base::keep_alive(true), ignored);
    const int fd = socket.native_handle();
    setIntOption(fd, IPPROTO_TCP, TCP_KEEPIDLE, keepAliveIdleSeconds);
    setIntOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, keepAliveIntervalSeconds);
    setIntOption(fd, IPPROTO_TCP, TCP_KEEPCNT, keepAliveProbes);
    setIntOption(fd, IPPROTO_TCP, TCP_NOTSENT_LOWAT, unsentLimitBytes);
    // An IPv6 socket may carry IPv4 guests (mapped addresses): mark both.
    setIntOption(fd, IPPROTO_IP, IP_TOS, interactiveVideoTos);
    if (socket.local_endpoint(ignored).address().is_v6()) {
        setIntOption(fd, IPPROTO_IPV6, IPV6_TCLASS, interactiveVideoTos);
    }
}

void GuestConnection::deliverState(const State& state) {
    if (onStateChange_) {
        onStateChange_(id_, state);
    }
    switch (state.kind) {
        case State::Case::ready:
            break;
        case State::Case::failed:
            log("client " + std::to_string(id_) + " failed: " + state.error.message());
            closeNow();
            break;
        case State::Case::cancelled:
            closed_ = true;
            break;
    }
}

void GuestConnection::receive() {
    if (web_) {
        web_->receive([weak = weak_from_this()](const boost::system::error_code& error,
                                                std::span<const std::uint8_t> message) {
            if (auto self = weak.lock()) {
                self->receivedMessage(error, message);
            }
        });
        return;
    }
    auto completion = [weak = weak_from_this()](const boost::system::error_code& error,
                                                std::size_t length) {
        if (auto self = weak.lock()) {
            self->received(error, length);
        }
    };
    socket_.async_read_some(
        boost::asio::buffer(receiveBuffer_),
        boost::asio::bind_allocator(
            HandlerAllocator<void>(readMemory_),
            boost::asio::bind_executor(queue_.executor(), std::move(completion))));
}

void GuestConnection::received(const boost::system::error_code& error, std::size_t length) {
    if (length > 0 && !closed_) {
        decoder_.append(std::span(receiveBuffer_.data(), length));
        drain();
    }
    if (closed_ || error == boost::asio::error::operation_aborted) {
        return;
    }
    if (error == boost::asio::error::eof) {
        closeNow();
    } else if (error) {
        // A reset or a keep-alive timeout: the connection itself has failed.
        deliverState(State::failed(error));
    } else {
        receive();
    }
}

// A browser guest's message is one whole frame: a frame split over messages, or
// messages carrying more than one, are a protocol error like any other.
void GuestConnection::receivedMessage(const boost::system::error_code& error,
                                      std::span<const std::uint8_t> message) {
    if (closed_ || error == boost::asio::error::operation_aborted) {
        return;
    }
    if (error == boost::beast::websocket::error::closed || error == boost::asio::error::eof) {
        closeNow();  // the page went away
        return;
    }
    if (error == boost::beast::websocket::error::message_too_big) {
        log("client " + std::to_string(id_) + " sent a message beyond " +
            std::to_string(WebEntry::Limits{}.messageBytes) + " bytes; dropping the connection");
        closeNow();
        return;
    }
    if (error) {
        // A timeout, a reset, a text message or frames that are no WebSocket.
        deliverState(State::failed(error));
        return;
    }
    const std::int64_t heardBefore = messagesHeard_;
    decoder_.append(message);
    drain();
    if (closed_) {
        return;
    }
    if (messagesHeard_ != heardBefore + 1 || decoder_.bufferedByteCount() != 0) {
        log("client " + std::to_string(id_) +
            " protocol error: a message that is not exactly one frame");
        closeNow();
        return;
    }
    receive();
}

void GuestConnection::drain() {
    while (!closed_) {
        auto next = decoder_.next();
        if (!next) {
            log("client " + std::to_string(id_) + " protocol error: " + next.error().text());
            closeNow();
            return;
        }
        if (!*next) {
            return;
        }
        handle(**next);
    }
}

void GuestConnection::handle(const Message& message) {
    ++messagesHeard_;
    if (!proven_ && (message.is<TimeReq>() || message.is<ClientStat>())) {
        proven_ = true;
        if (proofTimer_) {
            proofTimer_->cancel();
        }
        if (onProven_ && !onProven_(id_)) {
            closeNow();
            return;
        }
    }
    if (const auto* request = message.as<TimeReq>()) {
        // The host clock is read now, while handling, not when the answer leaves.
        appendPriority(encoded(TimeResp{request->t1, MachClock::nowNanos()}));
        pump();
    } else if (const auto* stat = message.as<ClientStat>()) {
        stats_ = *stat;
        statsAt_ = WallClock::now();
        if (onStats_) {
            onStats_(id_, *stat);
        }
    } else if (const auto* unknown = message.as<Message::Unknown>()) {
        log("client " + std::to_string(id_) + " sent unknown type " +
            std::to_string(unknown->type));
    } else if (message.is<Message::Bye>()) {
        closeNow();
    }
    // A guest's hello, audio, clock answers, beats, cues and state are ignored.
}

void GuestConnection::appendPriority(FrameQueue::Bytes frame) {
    if (closed_ || !frame || frame->empty()) {
        return;
    }
    if (priorityQueue_.size() >= (proven_ ? maxPriorityFrames : maxUnprovenFrames)) {
        log("client " + std::to_string(id_) + " not reading; dropping the connection");
        closeNow();
        return;
    }
    priorityQueue_.push_back(std::move(frame));
}

void GuestConnection::pump() {
    if (closed_ || !isReady_ || sendInFlight_) {
        return;
    }
    if (!priorityQueue_.empty()) {
        FrameQueue::Bytes frame = std::move(priorityQueue_.front());
        priorityQueue_.pop_front();
        write(std::move(frame), false);
        return;
    }
    // Null or empty frames are never queued, so whatever comes out has bytes.
    auto audio = audioQueue_.dequeue(MachClock::nowNanos());
    if (!audio) {
        return;
    }
    ++framesSent_;
    write(std::move(*audio), true);
}

void GuestConnection::write(FrameQueue::Bytes frame, bool isAudio) {
    sendInFlight_ = true;
    bytesSent_ += static_cast<std::int64_t>(frame->size());
    const auto buffer = boost::asio::buffer(*frame);
    // The completion owns the frame, so its bytes outlive the write.
    auto completion = [weak = weak_from_this(), frame = std::move(frame), isAudio](
                          const boost::system::error_code& error, std::size_t) {
        if (auto self = weak.lock()) {
            self->sendCompleted(error, frame, isAudio);
        }
    };
    if (web_) {
        web_->send(std::span(static_cast<const std::uint8_t*>(buffer.data()), buffer.size()),
                   boost::asio::bind_allocator(
                       HandlerAllocator<void>(writeMemory_),
                       boost::asio::bind_executor(queue_.executor(), std::move(completion))));
        return;
    }
    boost::asio::async_write(
        socket_, buffer,
        boost::asio::bind_allocator(
            HandlerAllocator<void>(writeMemory_),
            boost::asio::bind_executor(queue_.executor(), std::move(completion))));
}

void GuestConnection::sendCompleted(const boost::system::error_code& error,
                                    const FrameQueue::Bytes& frame, bool isAudio) {
    sendInFlight_ = false;
    if (!error && isAudio && onAudioSent_) {
        onAudioSent_(id_, frame);
    }
    if (goodbyePending_) {
        goodbyePending_ = false;
        writeGoodbye();
        return;
    }
    if (!error) {
        pump();
        return;
    }
    if (closed_) {
        return;  // our own cancel ended the write
    }
    log("client " + std::to_string(id_) + " send failed: " + error.message());
    closed_ = true;
    cancel();
}

void GuestConnection::takeInbox() {
    // Cleared before taking, as an exchange that sees every frame pushed before the
    // sender found it set: a frame pushed after this posts a wake-up of its own.
    wakePending_.exchange(false, std::memory_order_acq_rel);
    // Audio handed over after a format change waits for the change.
    while (const FrameInbox::Entry* front = inbox_.front()) {
        if (front->format > formatsApplied_) {
            return;
        }
        auto entry = inbox_.pop();
        enqueueAudio(std::move(entry->bytes), entry->deadlineNanos, entry->now);
    }
}

void GuestConnection::enqueueAudio(FrameQueue::Bytes audio, std::uint64_t deadlineNanos,
                                   double now) {
    if (closed_ || !audio || audio->empty()) {
        return;
    }
    const std::int64_t droppedBefore = audioQueue_.droppedFrames();
    audioQueue_.enqueue(std::move(audio), deadlineNanos);
    if (audioQueue_.droppedFrames() == droppedBefore) {
        overBudgetSince_.reset();
    } else if (!overBudgetSince_) {
        overBudgetSince_ = now;
        startStretch(now);
    } else if (outOfPatience(now)) {
        // Full on every frame since then: not one frame left for this guest.
        const auto seconds = static_cast<long>(now - *overBudgetSince_);
        log("client " + std::to_string(id_) + " over budget for " + std::to_string(seconds) +
            "s; dropping the connection");
        closeNow();
        return;
    }
    pump();
}

bool GuestConnection::outOfPatience(double now) {
    const bool canStepDown = canStepDown_.load(std::memory_order_relaxed);
    const bool talking = messagesHeard_ != stretch_.messagesHeard;
    if (talking && stretch_.couldStepDown && !canStepDown) {
        // Its lowest bitrate has only just begun to reach it: a whole stretch to show
        // whether the link carries that.
        startStretch(now);
        return false;
    }
    if (now - stretch_.since <= stallLimitSeconds) {
        return false;
    }
    if (talking && canStepDown) {
        // Still there, behind a link too slow for its bitrate, which is yet to come down.
        startStretch(now);
        return false;
    }
    return true;
}

void GuestConnection::startStretch(double now) {
    stretch_ = {now, messagesHeard_, canStepDown_.load(std::memory_order_relaxed)};
}

void GuestConnection::changeFormat(const Hello& hello, std::uint32_t format) {
    if (format < formatsApplied_) {
        return;  // overtaken by a newer change
    }
    takeInbox();  // the audio of the old format, to be discarded with the rest
    formatsApplied_ = format;
    if (closed_) {
        return;
    }
    const std::int64_t stale = audioQueue_.count();
    audioQueue_.removeAll();
    overBudgetSince_.reset();
    if (stale > 0) {
        log("client " + std::to_string(id_) + ": format change, discarded " +
            std::to_string(stale) + " stale frame(s)");
    }
    takeInbox();  // the audio of the new format
    if (pendingHello_) {
        // Not started yet: the newer hello replaces the first one instead of following
        // it, or the guest would end on the stale format.
        pendingHello_ = hello;
        return;
    }
    appendPriority(encoded(hello));
    pump();
}

void GuestConnection::closeNow() {
    if (closed_) {
        return;
    }
    closed_ = true;
    cancel();
}

void GuestConnection::goodbye() {
    if (closed_) {
        return;
    }
    closed_ = true;
    // The owner usually lets go right after asking; the pending grace timer keeps
    // the connection alive until the bye is out (which cancels the timer) or the
    // grace period ends. Held by the timer rather than by a member, so a context
    // shut down with the timer pending frees the connection instead of leaking a cycle.
    goodbyeTimer_.emplace(queue_.executor(), goodbyeGrace);
    goodbyeTimer_->async_wait([self = shared_from_this()](const boost::system::error_code& error) {
        if (!error) {
            self->cancel();
        }
    });
    if (sendInFlight_) {
        // Bytes of a frame already in flight must not interleave with the bye.
        goodbyePending_ = true;
    } else {
        writeGoodbye();
    }
}

void GuestConnection::writeGoodbye() {
    if (cancelled_) {
        return;
    }
    FrameQueue::Bytes frame = encoded(Message::Bye{});
    sendInFlight_ = true;
    bytesSent_ += static_cast<std::int64_t>(frame->size());
    const auto buffer = boost::asio::buffer(*frame);
    // Held strongly: the goodbye finishes even after every owner has let go.
    auto completion = [self = shared_from_this(), frame = std::move(frame)](
                          const boost::system::error_code& error, std::size_t) {
        self->sendInFlight_ = false;
        if (self->web_ && !error && !self->cancelled_) {
            // The page hears the end as a close frame too; the grace timer bounds the wait
            // for its answer.
            self->web_->closeGracefully([self] { self->cancel(); });
            return;
        }
        self->cancel();
    };
    if (web_) {
        web_->send(std::span(static_cast<const std::uint8_t*>(buffer.data()), buffer.size()),
                   boost::asio::bind_executor(queue_.executor(), std::move(completion)));
        return;
    }
    boost::asio::async_write(socket_, buffer,
                             boost::asio::bind_executor(queue_.executor(), std::move(completion)));
}

void GuestConnection::cancel() {
    if (cancelled_) {
        return;
    }
    cancelled_ = true;
    boost::system::error_code ignored;
    if (goodbyeTimer_) {
        goodbyeTimer_->cancel();
    }
    if (proofTimer_) {
        proofTimer_->cancel();
    }
    auto& socket = lowestSocket();
    socket.shutdown(boost::asio::socket_base::shutdown_both, ignored);
    socket.close(ignored);
    boost::asio::post(queue_.executor(),
                      [self = shared_from_this()] { self->deliverState(State::cancelled()); });
}

void GuestConnection::log(const std::string& text) const {
    log_(category, text);
}

}  // namespace zoranth
