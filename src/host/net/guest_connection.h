// The host's side of one guest's connection: sends the stream format first,
// answers clock probes ahead of audio, keeps the guest's latest report and sends
// one frame at a time, dropping audio that would arrive too late. Create it with
// std::make_shared; every public operation may be called from any thread and only
// posts work to the connection's own serial queue ("com.zoranth.app.<id>").
// enqueue() is the sender thread's: it hands audio over without locking or allocating,
// and one thread at a time may call it. A guest speaks the wire's frames either as a
// byte stream over TCP (a native guest) or one frame per binary WebSocket message (the
// guest page in a browser); everything else is the same for both.
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "host/diagnostic_log.h"
#include "host/net/handler_memory.h"
#include "host/serial_queue.h"
#include "host/web/websocket_transport.h"
#include "kit/frame_inbox.h"
#include "kit/frame_queue.h"
#include "protocol/frame_decoder.h"
#include "protocol/wire_format.h"

namespace zoranth {

class GuestConnection : public std::enable_shared_from_this<GuestConnection> {
  public:
    using Id = std::int64_t;

    struct State {
        enum class Case { ready, failed, cancelled };
        Case kind = Case::ready;
        boost::system::error_code error;  // why the connection failed; empty otherwise

        static State ready() { return {Case::ready, {}}; }
        static State failed(boost::system::error_code error) { return {Case::failed, error}; }
        static State cancelled() { return {Case::cancelled, {}}; }
    };

    // A value copy of one guest's status for displays and the network-health model.
    struct Snapshot {
        Id id = 0;
        std::string endpoint;
        std::int64_t queuedBytes = 0;
        double occupancy = 0;
        std::int64_t droppedFrames = 0;
        std::int64_t expiredFrames = 0;
        std::int64_t framesSent = 0;
        std::int64_t bytesSent = 0;
        std::optional<ClientStat> stats;
        std::optional<double> statsAt;  // WallClock seconds
        // The newest audio frame found the queue full and pushed out the oldest:
        // the guest is not keeping up right now.
        bool isOverBudget = false;

        // The guest's own name once it reported one, else its address.
        std::string displayName() const;
    };

    using StateHandler = std::function<void(Id, const State&)>;
    using StatsHandler = std::function<void(Id, const ClientStat&)>;
    // Called on the connection's queue after an audio frame was written to the socket.
    using AudioSentHandler = std::function<void(Id, const FrameQueue::Bytes&)>;
    // Called on the connection's queue when a guest that had to prove itself did; false
    // turns it away (the room is full), and it is closed before anything more is sent.
    using ProvenHandler = std::function<bool(Id)>;
    using SilentHandler = std::function<void(Id)>;

    static constexpr std::string_view category = "client";
    // A guest sends clock probes and reports of a few dozen bytes: reading 4 KB at a time
    // keeps up with any guest and keeps a room of guests small in memory.
    static constexpr std::size_t receiveChunkBytes = 4096;
    static constexpr std::ptrdiff_t decoderReserveBytes = 65536;
    static constexpr double chunkSeconds = 0.02;
    // An audio queue that stays full without the guest taking a single frame for
    // longer than this means the guest has stalled (or vanished while audio was
    // flowing, which keep-alive never notices): the connection is dropped. A guest that
    // keeps talking (clock probes, reports) is stuck behind its link instead; it is
    // waited for while its bitrate can still be lowered, and for this long again at
    // the lowest.
    static constexpr double stallLimitSeconds = 10;
    // Frames that must go out ahead of audio (hello, clock answers, beats) are not
    // dropped; a guest that lets this many pile up is not reading at all.
    static constexpr std::size_t maxPriorityFrames = 1024;
    // A connection not yet proven a guest is owed only its hello and clock answers.
    static constexpr std::size_t maxUnprovenFrames = 8;
    // How long a goodbye may wait for a frame still in flight and for itself.
    static constexpr std::chrono::milliseconds goodbyeGrace{2000};
    // DSCP AF41, the class for interactive video, in the TOS/traffic-class byte.
    static constexpr int interactiveVideoTos = 0x88;
    // Unsent bytes the kernel may hold for a guest. Left to itself it takes megabytes
    // (minutes of audio) from a guest that stopped reading, hiding it from the audio
    // budget and queueing clock answers behind all of it; capped, the backlog stays in
    // the frame queue, where old audio is dropped and answers go first.
    static constexpr int unsentLimitBytes = 16 * 1024;

    // `socket` is an accepted, connected TCP socket; `firstBytes`, what the guest sent
    // before the host knew it for a native guest, are read ahead of the socket. The
    // hello is sent first once start() runs; its playout delay sizes the audio budget
    // for good. A socket running on a strand (the one it was accepted on) keeps it as
    // the connection's queue.
    GuestConnection(Id id, boost::asio::ip::tcp::socket socket, const Hello& hello,
                    DiagnosticSink log = {}, std::vector<std::uint8_t> firstBytes = {});
    // A browser guest: `webSocket` is accepted, and runs on a strand, which becomes the
    // connection's queue.
    GuestConnection(Id id, std::unique_ptr<WebSocketTransport::WebSocket> webSocket,
                    const Hello& hello, DiagnosticSink log = {});
    ~GuestConnection();
    GuestConnection(const GuestConnection&) = delete;
    GuestConnection& operator=(const GuestConnection&) = delete;

    // Set before start(); they are called on the connection's queue.
    void setOnStateChange(StateHandler handler);
    void setOnStats(StatsHandler handler);
    void setOnAudioSent(AudioSentHandler handler);
    // Before start(): the guest must prove itself by its first clock request or report
    // within `limit` of start(); `onProven` is then called once. Silent that long, the
    // connection is closed and `onSilent` told, which says so (gathered with others).
    void expectProof(std::chrono::milliseconds limit, ProvenHandler onProven,
                     SilentHandler onSilent);

    // Queues the hello, tunes the socket, reports ready and starts receiving.
    void start();

    // One complete audio frame, its playout deadline (host-clock nanoseconds) and
    // the current WallClock seconds. Lock-free and allocation-free for the sender thread,
    // except while the guest's queue has not run for over a second: then the frames are
    // posted one by one, still in order.
    void enqueue(const FrameQueue::Bytes& audio, std::uint64_t deadlineNanos, double now);
    // A stream-format change: queued audio is stale and the new hello goes next. Before
    // start() it replaces the hello the connection was made with.
    void sendHello(const Hello& hello);
    // A complete frame that goes out ahead of audio (beats, cues).
    void sendControl(FrameQueue::Bytes frame);
    // Delivers a snapshot on the connection's queue.
    void snapshot(std::function<void(Snapshot)> completion);
    // Ends the connection without a goodbye.
    void close();
    // Sends `bye` after any frame already in flight, then ends the connection.
    void sayGoodbyeAndClose();
    // Whether the quality steering may still give this guest a lower bitrate; false
    // until told. Any thread; only an atomic store, so callers may hold their own lock.
    void setCanStepDown(bool canStepDown);

    // The tier stream this guest was last handed a frame of, as a raw tier value; -1 before
    // the first. Kept for the thread that calls enqueue(), which alone reads and writes it.
    int streamTier() const { return streamTier_.load(std::memory_order_relaxed); }
    void setStreamTier(int tier) { streamTier_.store(tier, std::memory_order_relaxed); }

    Id id() const { return id_; }
    SerialQueue& queue() { return queue_; }
    // "host:port" of the guest; fixed at construction, readable from any thread.
    const std::string& endpointDescription() const { return endpoint_; }
    bool isWebGuest() const { return web_ != nullptr; }
    double connectedAt() const { return connectedAt_; }

    // Only on the connection's queue (state handlers run there).
    std::string pathDescription() const;
    const std::optional<ClientStat>& latestStats() const { return stats_; }

    // "host:port", with IPv4-mapped IPv6 addresses shown as IPv4.
    static std::string describe(const boost::asio::ip::tcp::endpoint& endpoint);
    // No delay, keep-alive (10 s idle, 5 s apart, 3 probes) and the interactive
    // video mark. A refused option leaves the socket working, only less tuned.
    static void tuneSocket(boost::asio::ip::tcp::socket& socket);

  private:
    void begin();
    void awaitProof();
    void deliverState(const State& state);
    void receive();
    void received(const boost::system::error_code& error, std::size_t length);
    void receivedMessage(const boost::system::error_code& error,
                         std::span<const std::uint8_t> message);
    // The TCP socket under either kind of guest.
    boost::asio::ip::tcp::socket& lowestSocket();
    const boost::asio::ip::tcp::socket& lowestSocket() const;
    void drain();
    void handle(const Message& message);
    void appendPriority(FrameQueue::Bytes frame);
    void pump();
    void write(FrameQueue::Bytes frame, bool isAudio);
    void sendCompleted(const boost::system::error_code& error, const FrameQueue::Bytes& frame,
                       bool isAudio);
    void spill(const FrameQueue::Bytes& audio, std::uint64_t deadlineNanos, double now);
    void takeInbox();
    void enqueueAudio(FrameQueue::Bytes audio, std::uint64_t deadlineNanos, double now);
    // Whether a queue full since overBudgetSince_ has been waited for long enough.
    bool outOfPatience(double now);
    void startStretch(double now);
    void changeFormat(const Hello& hello, std::uint32_t format);
    void closeNow();
    void goodbye();
    void writeGoodbye();
    void cancel();
    void fail(const boost::system::error_code& error);
    void log(const std::string& text) const;

    template <class Work>
    void onQueue(Work&& work);

    const Id id_;
    const DiagnosticSink log_;
    SerialQueue queue_;
    std::vector<std::uint8_t> receiveBuffer_;  // outlives the socket's pending read
    boost::asio::ip::tcp::socket socket_;      // a native guest's; unopened for a browser
    std::unique_ptr<WebSocketTransport> web_;  // a browser guest's
    std::vector<std::uint8_t> firstBytes_;     // read before the connection existed
    const std::string endpoint_;
    FrameDecoder decoder_;
    FrameQueue audioQueue_;
    std::deque<FrameQueue::Bytes> priorityQueue_;
    bool sendInFlight_ = false;
    bool isReady_ = false;
    std::optional<double> overBudgetSince_;
    // The stretch of a full queue being waited out: when it began, how many messages the
    // guest had sent by then, and whether its bitrate could still be lowered then.
    struct Stretch {
        double since = 0;
        std::int64_t messagesHeard = 0;
        bool couldStepDown = false;
    };
    Stretch stretch_;
    std::int64_t messagesHeard_ = 0;
    std::atomic<bool> canStepDown_{false};
    bool closed_ = false;
    bool cancelled_ = false;
    bool goodbyePending_ = false;
    std::optional<boost::asio::steady_timer> goodbyeTimer_;
    const double connectedAt_;
    std::optional<ClientStat> stats_;
    std::optional<double> statsAt_;
    std::int64_t bytesSent_ = 0;
    std::int64_t framesSent_ = 0;
    StateHandler onStateChange_;
    StatsHandler onStats_;
    AudioSentHandler onAudioSent_;
    ProvenHandler onProven_;
    SilentHandler onSilent_;
    std::optional<std::chrono::milliseconds> proofLimit_;
    bool proven_ = true;
    std::optional<boost::asio::steady_timer> proofTimer_;
    std::optional<Hello> pendingHello_;

    // The sender's hand-off: frames wait in the inbox until the wake-up it posts (at most
    // one outstanding) moves them into the audio queue.
    FrameInbox inbox_;
    std::atomic<bool> wakePending_{false};
    std::atomic<int> spilled_{0};                     // frames posted one by one, not yet taken
    std::atomic<std::uint32_t> formatsAnnounced_{0};  // sendHello calls so far
    std::uint32_t formatsApplied_ = 0;                // format changes the queue has made
    std::atomic<int> streamTier_{-1};
    const std::shared_ptr<HandlerMemory> wakeMemory_ = std::make_shared<HandlerMemory>();
    const std::shared_ptr<HandlerMemory> writeMemory_ = std::make_shared<HandlerMemory>();
    const std::shared_ptr<HandlerMemory> readMemory_ = std::make_shared<HandlerMemory>();
};

}  // namespace zoranth
