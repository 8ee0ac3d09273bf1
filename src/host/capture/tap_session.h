// Captures everything the computer plays into the capture ring: a record stream on the
// default output's monitor whose callback is the ring's only producer. Owners call it from
// one place at a time (start may block for seconds: never on the main thread); the
// read-only properties and liveFormat may be read from any thread.
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

#include "host/capture/capture_ring.h"
#include "host/capture/core_audio_error.h"
#include "host/capture/host_error.h"
#include "host/capture/tap_format.h"
#include "platform/pulse/pulse_capture.h"
#include "platform/pulse/pulse_output_device.h"

namespace zoranth {

class TapSession {
    struct Key {};

  public:
    using Failure = std::variant<CoreAudioError, HostError>;

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
    // default output changed (the capture follows it), the format changed or the stream was
    // lost; the session may be called from inside it.
    void setOnFormatChange(std::function<void()> callback);

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

    // The format-change hand-over between the sound server's event thread and the
    // notifier thread. Neither holds the session, so the session is never destroyed on the
    // server's event thread.
    struct Notifier {
        std::mutex mutex;  // everything below
        std::condition_variable wake;
        std::function<void()> callback;
        unsigned pendingChanges = 0;  // one bit per PulseCapture::Change
        bool listening = false;       // the session runs: changes are passed on
        bool stopping = false;

        void note(PulseCapture::Change change);
        void setListening(bool listening);
        void run();
    };

    const std::shared_ptr<Notifier> notifier_ = std::make_shared<Notifier>();
    std::thread notifierThread_;
};

}  // namespace zoranth
