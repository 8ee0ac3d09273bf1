// One simulated guest: a real protocol peer on a non-blocking TCP socket that plays a
// chosen behaviour (a well-behaved phone, a slow or stalled reader, one that keeps
// leaving and coming back, one that sends garbage, one that never speaks). Driven by
// GuestSwarm's poll loop; every call comes from that one thread.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "guestsim/buffer_depth.h"
#include "guestsim/clock_estimator.h"
#include "guestsim/stream_checker.h"
#include "protocol/frame_decoder.h"

namespace zoranth {

class SimulatedGuest {
  public:
    using Clock = std::chrono::steady_clock;

    enum class Behaviour { normal, slow, stalled, flapping, garbage, silent };

    // What a garbage guest sends after the hello, one kind per connection.
    enum class Garbage { randomBytes, badMagic, badVersion, wrongLength, invalidName, hugePayload };

    enum class Ending {
        connectedAtEnd,   // still connected when the run ended, then left
        betweenSessions,  // a guest that comes and goes was away when the run ended
        closedByHost,     // the host ended the connection
        byeFromHost,      // the host said goodbye
        protocolError,    // the host's bytes did not decode
        neverConnected,
    };

    struct Settings {
        int index = 0;
        Behaviour behaviour = Behaviour::normal;
        std::string host = "127.0.0.1";
        std::uint16_t port = 0;
        // The address this guest connects from; empty: the system's choice.
        std::string bindAddress;
        // Names this guest "<prefix>-<index>-<behaviour>".
        std::string namePrefix = "guestsim";
        // This guest's clock runs this far ahead of the host's, so the true offset
        // (host minus guest) is its negation.
        std::int64_t clockSkewNanos = 0;
        // Whether guest and host read the same clock (same machine), so the
        // estimate can be checked against the truth.
        bool clockTruthKnown = true;
        std::uint64_t seed = 1;
        double slowFraction = 0.5;  // share of the stream rate a slow guest reads
        std::chrono::milliseconds stallAfter{1000};
        std::chrono::milliseconds stallFor{15000};  // then it reads again, if still connected
        // How long a garbage guest waits for the host to drop it before giving up.
        std::chrono::milliseconds garbagePatience{3000};
    };

    struct GarbageAttempt {
        Garbage kind = Garbage::randomBytes;
        std::string localEndpoint;  // "127.0.0.1:port" as the host saw this connection
        bool disconnected = false;  // the host ended the connection
        double secondsToDisconnect = 0;
    };

    struct Report {
        int index = 0;
        Behaviour behaviour = Behaviour::normal;
        std::string deviceName;
        StreamChecker::Counts stream;
        std::optional<ClockEstimator::Estimate> clock;
        std::optional<std::int64_t> offsetErrorNanos;  // estimate minus the truth
        std::int64_t connections = 0;
        std::int64_t connectFailures = 0;
        std::int64_t hostEndings = 0;  // connections the host ended
        std::int64_t probesSent = 0;
        std::int64_t statsSent = 0;
        std::int64_t controlFrames = 0;  // beats and cues
        std::int64_t stalls = 0;
        std::vector<GarbageAttempt> garbage;
        // "127.0.0.1:port" of every connection, as the host saw it, in order.
        std::vector<std::string> localEndpoints;
        Ending ending = Ending::neverConnected;
        std::string detail;  // the last failure, if any
    };

    static constexpr auto probeInterval = std::chrono::milliseconds(250);
    static constexpr auto statInterval = std::chrono::milliseconds(1000);
    static constexpr int streamChunksPerSecond = 50;
    // A slow or stalled guest keeps a small receive window, so the host feels it at once.
    static constexpr int smallReceiveBuffer = 4096;

    SimulatedGuest(Settings settings, Clock::time_point now);
    ~SimulatedGuest();
    SimulatedGuest(const SimulatedGuest&) = delete;
    SimulatedGuest& operator=(const SimulatedGuest&) = delete;

    // The socket to poll and for what; -1 while not connected.
    int descriptor() const { return fd_; }
    short wantedEvents() const;
    // When advance() next has something to do.
    Clock::time_point nextWake() const;
    // Timers: connecting, probes, reports, stalls, sessions, garbage.
    void advance(Clock::time_point now);
    // The socket is ready as poll() reported.
    void onEvents(short revents, Clock::time_point now);
    // The run is over: reads what already arrived, says goodbye where a phone
    // would, and closes.
    void finish(Clock::time_point now);

    Report report() const;
    const std::string& deviceName() const { return deviceName_; }

    static std::string_view name(Behaviour behaviour);
    static std::optional<Behaviour> behaviourNamed(std::string_view name);
    static std::string_view name(Garbage garbage);
    static std::string_view name(Ending ending);
    static constexpr std::array<Garbage, 6> allGarbage{Garbage::randomBytes, Garbage::badMagic,
                                                       Garbage::badVersion,  Garbage::wrongLength,
                                                       Garbage::invalidName, Garbage::hugePayload};
    // The bytes a garbage guest sends: each kind is malformed in its own way and
    // none of them can be taken for a valid frame.
    static std::vector<std::uint8_t> garbageBytes(Garbage kind, std::mt19937_64& random);

  private:
    enum class Phase { waiting, connecting, connected, ended };

    void connect(Clock::time_point now);
    // Binds the socket to the chosen address; a failure ends this guest.
    bool bindLocal();
    void connected(Clock::time_point now);
    void readSome(Clock::time_point now);
    void handle(const Message& message, std::uint64_t receivedAt, Clock::time_point now);
    void sendDue(Clock::time_point now);
    void queue(const std::vector<std::uint8_t>& bytes);
    void flush(Clock::time_point now);
    // The host ended the connection (or broke it).
    void lost(Ending why, const std::string& detail, Clock::time_point now);
    // This guest ends the connection; then it comes back after `pause`, or not.
    void leave(bool sayBye, bool reset);
    void closeSocket(bool reset);
    void comeBackAfter(Clock::time_point now, std::chrono::milliseconds low,
                       std::chrono::milliseconds high);
    void drainArrived(Clock::time_point now);
    bool reads() const;
    bool speaks() const;
    std::uint64_t guestNow() const;
    std::chrono::milliseconds randomBetween(std::chrono::milliseconds low,
                                            std::chrono::milliseconds high);

    Settings settings_;
    std::string deviceName_;
    std::mt19937_64 random_;
    Phase phase_ = Phase::waiting;
    int fd_ = -1;
    Clock::time_point wakeAt_;
    Clock::time_point connectedAt_;
    std::string localEndpoint_;
    bool hasHello_ = false;
    FrameDecoder decoder_{0};
    std::vector<std::uint8_t> receiveBuffer_;
    std::vector<std::uint8_t> outbox_;
    std::size_t outboxSent_ = 0;
    Clock::time_point nextProbeAt_;
    Clock::time_point nextStatAt_;
    ClockEstimator estimator_;
    StreamChecker checker_;
    BufferDepth bufferDepth_;
    // A slow guest's reading allowance, in chunks (a token bucket).
    double slowTokens_ = 0;
    Clock::time_point slowRefilledAt_;
    bool reportedHere_ = false;  // a report went out on this connection
    bool stalledNow_ = false;
    Clock::time_point stallAt_;
    Clock::time_point resumeAt_;
    Clock::time_point sessionEndsAt_;  // a flapping guest's current visit
    int leaves_ = 0;
    bool garbageSent_ = false;
    bool silentAsked_ = false;  // a silent guest's one clock request, as every guest's first
    Clock::time_point garbageSentAt_;
    std::size_t garbageTurn_ = 0;
    Report report_;
};

}  // namespace zoranth
