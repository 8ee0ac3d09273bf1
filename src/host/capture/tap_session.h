// Captures everything the computer plays into the capture ring: a record stream on the
// default output's monitor whose callback is the ring's only producer. Once started it keeps
// capturing by itself: it follows a new default output (one chosen, or what is left when the
// output in use is unplugged), and when the sound server goes away (a crash, a restart) it
// reconnects until the server is back or the session stops, while the ring keeps getting
// silence at the capture's cadence; connection() tells the owner. Owners call it from one place at
// a time (start may block for seconds: never on the main thread); the read-only properties,
// liveFormat and connection may be read from any thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "host/capture/capture_ring.h"
#include "host/capture/host_error.h"
#include "host/capture/sound_server_error.h"
#include "host/capture/tap_format.h"
#include "platform/pulse/pulse_capture.h"
#include "platform/pulse/pulse_output_device.h"

namespace zoranth {

class TapSession {
    struct Key {};

  public:
    using Failure = std::variant<SoundServerError, HostError>;

    // The capture's hold on the sound server. A loss begins when the server went away or
    // the capture stream failed and the capture could not be brought back at once; it ends
    // when a capture stream is open again. While lost, the ring keeps getting silence (the
    // pipeline keeps making chunks, the meters fall to silence, chunk times go on), the
    // output reads as not playing, refresh/setTapMuted fail, and the tap mute that was on
    // comes back with the capture. A stop ends a loss.
    struct Connection {
        bool lost = false;
        std::uint64_t losses = 0;  // losses so far, over every start of this session
        double lostSince = 0;      // WallClock seconds: when the current or last loss began
        // How long the last loss lasted, in seconds; none while lost, or before any loss.
        std::optional<double> backAfter;
        // The sound server's text for the loss, e.g. "Connection terminated".
        std::string error;
        // Why the latest attempt to reconnect failed, e.g. "Connection refused".
        std::string lastAttemptError;
        std::uint32_t attempts = 0;  // reconnection attempts in the current or last loss

        bool operator==(const Connection&) const = default;
    };

    // What a person should be told about the capture's connection, from polled Connection
    // values: the loss, once it has lasted a minute, and the return with how long it took;
    // each once. A value type for the owner's status tick, time passed in (WallClock):
    //     for (const auto& notice : outageWatch_.update(tap->connection(), now)) { ...line... }
    // A loss shorter than the tick is still told, lost then back in one update.
    class OutageWatch {
      public:
        struct Notice {
            enum class Kind { lost, stillLost, back };
            Kind kind = Kind::lost;
            double seconds = 0;  // stillLost: lost for so long; back: how long it was gone
            std::string error;   // lost: the server's text; stillLost: the latest attempt's
            bool operator==(const Notice&) const = default;
        };
        static constexpr double longLossSeconds = 60.0;

        // At most one of each kind; lost before back when a loss came and went in between.
        std::vector<Notice> update(const Connection& connection, double now);

      private:
        std::uint64_t seenLosses_ = 0;
        bool backTold_ = true;
        bool longTold_ = true;
    };

    // What the capture callback knows, fixed when it is installed: it never touches the
    // session itself.
    struct RingTarget {
        sr_ring* ring = nullptr;
        std::uint32_t frameLimit = 0;  // the ring's frames per slot
        std::uint32_t ringChannels = 0;
        std::uint32_t channels = 0;  // C: the captured format's channel count
    };

    // The capture callback: copies one delivery into the next ring slot, de-interleaving it
    // into C planes, or counts an overrun when it does not fit or the ring is full. A delivery
    // without samples is written as silence. No lock, no allocation, no logging.
    static void deliverToRing(void* target, const CaptureDelivery& delivery);

    static std::shared_ptr<TapSession> create();
    explicit TapSession(Key);
    ~TapSession();
    TapSession(const TapSession&) = delete;
    TapSession& operator=(const TapSession&) = delete;

    // Connects to the sound server, opens the capture on the default output's monitor and
    // starts filling `ring`. Blocks while the server answers.
    std::expected<TapFormat, Failure> start(std::shared_ptr<CaptureRing> ring);
    // Closes the capture; leaves no stream moved and no mute sink behind. Idempotent.
    void stop();
    // Renames the stream "Zoranth Tap {n}" and re-syncs it in place (drops what the server
    // buffered, returns to the default output's monitor, starts a fresh time anchor).
    bool refresh();
    // Muted: the speakers fall silent while the capture keeps the audio.
    bool setTapMuted(bool muted);
    bool isTapMuted() const;
    // The stream's format now; none without a stream.
    std::optional<TapFormat> liveFormat() const;

    // "{name}, {rate} Hz" of the default output, from a short connection of its own.
    static std::string describeOutputDevice();
    // The same text for a device as the server reported it ("device {index}" without a name).
    static std::string describe(const std::optional<PulseOutputDevice>& device);

    std::optional<TapFormat> format() const;
    std::uint32_t bufferFrameSize() const;
    bool isRunning() const;
    std::string diagnostics() const;
    std::int64_t refreshes() const;

    // Called on a thread of the session's own while it runs, when the stream moved, the
    // default output changed (the capture follows it) or the format changed, including
    // after a loss when the capture came back in another format; the session may be called
    // from inside it. A loss and a return alone do not call it: connection() tells those.
    void setOnFormatChange(std::function<void()> callback);

    // Cheap; any thread.
    Connection connection() const;

    // The default output as the capture last saw it (name, rate, running, muted); cheap.
    std::optional<PulseOutputDevice> outputDevice() const;
    // Whether the default output is playing somewhere, asked of the session while it
    // lives (false after): what the pipeline's silence diagnosis wants to know.
    static std::function<bool()> outputRunningOf(const std::shared_ptr<TapSession>& session);
    PulseCapture::Stats captureStats() const;

    static std::string describe(const Failure& failure);

  private:
    std::shared_ptr<PulseCapture> capture() const;

    mutable std::mutex stateMutex_;  // the session's state below
    std::shared_ptr<PulseCapture> capture_;
    std::shared_ptr<CaptureRing> ring_;
    std::unique_ptr<RingTarget> target_;
    std::optional<TapFormat> format_;
    std::uint32_t bufferFrameSize_ = 0;
    bool isRunning_ = false;
    std::string diagnostics_;
    std::int64_t refreshes_ = 0;
    Connection ended_;  // what the captures stopped so far left behind

    // The format-change hand-over between the sound server's event thread and the
    // notifier thread. Neither holds the session, so the session is never destroyed on the
    // server's event thread.
    struct Notifier {
        std::mutex mutex;  // everything below
        std::condition_variable wake;
        std::function<void()> callback;
        std::weak_ptr<PulseCapture> capture;  // whose connection a loss is logged from
        unsigned pendingChanges = 0;          // one bit per PulseCapture::Change
        bool listening = false;               // the session runs: changes are passed on
        bool stopping = false;

        void note(PulseCapture::Change change);
        void setListening(bool listening, std::weak_ptr<PulseCapture> capture = {});
        void run();
        static void logConnection(const std::shared_ptr<PulseCapture>& capture, unsigned changes);
    };

    const std::shared_ptr<Notifier> notifier_ = std::make_shared<Notifier>();
    std::thread notifierThread_;
};

}  // namespace zoranth
