// Captures everything the default sink plays: a record stream on its monitor, float32 at
// 48000 Hz in the sink's channels (at most 8), 480-frame fragments, each delivery stamped on
// the monotonic clock and handed to a plain function. Once it watches for changes it keeps
// the capture alive by itself: it follows the default sink, and when the stream or the
// connection to the server is lost it reconnects (see watchChanges). Owner calls come from
// one thread at a time (never the capture's own threads); deliveries run on the server's
// event thread, change events there or on the capture's reconnecting thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/pulse/pulse_error.h"
#include "platform/pulse/pulse_output_device.h"

namespace zoranth {

// One delivery of captured audio. `samples` holds frames × channels interleaved floats, or is
// null when the frames are silence: a hole in the server's stream, or the layer's own
// silence while the server delivers nothing (an idle or suspended sink), so that a device
// that is alive always keeps delivering.
struct CaptureDelivery {
    const float* samples = nullptr;
    std::uint32_t frames = 0;
    std::uint32_t channels = 0;
    std::uint32_t bytes = 0;          // frames × channels × 4, as the server handed them over
    std::uint64_t hostTimeNanos = 0;  // CLOCK_MONOTONIC time of the first frame
    // The stamp does not follow on from the previous delivery's end (a break in the stream).
    bool discontinuity = false;
};

// Runs on the server's event thread for every delivery: copy and return. It must not lock,
// allocate, log or call back into the capture.
using CaptureDeliveryFunction = void (*)(void* context, const CaptureDelivery& delivery);

class PulseCapture {
  public:
    enum class Change {
        moved,               // the server moved the stream to another source
        defaultSinkChanged,  // the default sink changed; the stream now follows it
        formatChanged,       // the captured sink's channel layout changed
        // The stream or the connection to the server died before the capture was watched
        // (afterwards a loss is reconnected and told as connectionLost instead).
        streamLost,
        // The capture is lost and could not be brought back at once: connection() says
        // why and since when; reconnection goes on.
        connectionLost,
        // The capture runs again after connectionLost; connection() says after how long.
        connectionRestored,
    };

    struct Config {
        std::string clientName = "Zoranth Host";
        std::string streamName = "Zoranth Tap";
        std::string threadName = "zoranth-capture";
        std::uint32_t rate = 48000;
        std::uint32_t maxChannels = 8;
        std::uint32_t fragmentFrames = 480;
        std::uint32_t maxFramesPerDelivery = 4096;  // larger reads are split, never dropped
        std::chrono::milliseconds timeout{5000};    // for each request to the server
        CaptureDeliveryFunction deliver = nullptr;
        void* deliverContext = nullptr;
        // Called on the capture's own threads with its lock held: hand the work over to
        // another thread, and never call back into the capture from here.
        std::function<void(Change)> onChange;
        // Waits between reconnection attempts: the first comes at once, then after
        // `reconnectFirst`, doubling up to `reconnectLongest`.
        std::chrono::milliseconds reconnectFirst{50};
        std::chrono::milliseconds reconnectLongest{1000};
    };

    struct StreamInfo {
        std::uint32_t index = 0;  // the server's id of the record stream
        std::uint32_t sourceIndex = 0;
        std::string sourceName;
        std::uint32_t rate = 0;
        std::uint32_t channels = 0;
        std::uint32_t fragmentFrames = 0;  // what the server granted
        bool suspended = false;
    };

    // Counters for diagnostics, readable from any thread.
    struct Stats {
        std::uint64_t deliveries = 0;
        std::uint64_t silentDeliveries = 0;  // the layer's own silence while the server idled
        std::uint64_t holes = 0;
        std::uint64_t discontinuities = 0;  // fresh anchors after a break
        // The server's frames dropped because their time was already delivered: as the
        // layer's silence (audio held up for longer than the silence waits), or by the first
        // frames after a fresh anchor that a backlog turned out to lie behind.
        std::uint64_t droppedFrames = 0;
    };

    // The capture's hold on the server. A loss is declared (connectionLost) when the stream
    // or the connection died and the first attempt to bring it back failed; it ends
    // (connectionRestored) once a stream is open again. Times are CLOCK_MONOTONIC.
    struct Connection {
        bool lost = false;
        std::uint64_t losses = 0;          // losses declared so far
        std::uint64_t lostSinceNanos = 0;  // when the current or last loss began
        std::uint64_t lostForNanos = 0;    // how long the last loss lasted; 0 while lost
        PulseError cause;                  // what ended the capture, as the server said it
        PulseError lastAttempt;            // why the latest attempt to reconnect failed
        std::uint32_t attempts = 0;        // reconnection attempts in the current or last loss
        bool muteDropped = false;          // the tap mute could not be re-applied after it
    };

    // What a tap mute did: the sink that now receives the moved streams and how many moved.
    struct MuteReport {
        std::string sinkName;
        std::uint32_t movedInputs = 0;
    };

    explicit PulseCapture(Config config);
    ~PulseCapture();
    PulseCapture(const PulseCapture&) = delete;
    PulseCapture& operator=(const PulseCapture&) = delete;

    // Connects to the server; also unloads mute sinks left behind by a crashed host.
    std::expected<void, PulseError> connect();
    std::expected<PulseOutputDevice, PulseError> defaultSink();
    // Opens the record stream on the sink's monitor and waits until it delivers.
    std::expected<StreamInfo, PulseError> openStream(const PulseOutputDevice& sink);
    // Watches the server, its sinks and their streams for the changes reported to onChange,
    // and from now on keeps the capture alive: when the stream fails or the connection to
    // the server ends, a thread of the capture's own connects again (a fresh connection,
    // the default sink's monitor, the tap mute re-applied when it was on), at once and then
    // with growing waits until it succeeds or the capture is closed. Meanwhile the timeline
    // goes on in silence at the fragment cadence, owner calls that need the server fail at
    // once (PA_ERR_CONNECTIONTERMINATED) and the output device reads as not playing.
    std::expected<void, PulseError> watchChanges();
    Connection connection() const;

    std::optional<StreamInfo> streamInfo() const;
    // The default sink as last seen by the watch; any thread, cheap.
    std::optional<PulseOutputDevice> outputDevice() const;

    bool rename(const std::string& name);
    // Drops what the server buffered, puts the stream back on the default sink's monitor
    // where it strayed, and measures the time anchor again (a fresh one where the stream no
    // longer lines up with it).
    bool resync();

    // Muted: everything playing on the default sink, and whatever starts while muted, is
    // moved to a private null sink whose monitor the stream captures instead, so the
    // speakers fall silent while the capture keeps the audio. Unmuted: moved back, the
    // null sink unloaded.
    std::expected<MuteReport, PulseError> setMuted(bool muted);
    bool isMuted() const;

    Stats stats() const;

    // Unmutes, closes the stream and the connection, and stops reconnecting. Idempotent.
    void close();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace zoranth
