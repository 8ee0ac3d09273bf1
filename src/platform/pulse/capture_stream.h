// Inside the PulseAudio layer only: the record stream on a sink's monitor and the timeline of
// what it delivers. Every read is stamped on the monotonic clock and handed to the owner's
// delivery function; while the server sends nothing (an idle or suspended sink, or no
// stream at all while the capture reconnects) silence keeps the timeline going at the
// fragment cadence. One timeline outlives the streams: a new stream carries on where the
// last one ended, never earlier. Its callbacks run on the loop's thread; the other calls are
// made with the loop locked, from any other thread.
#pragma once

#include <pulse/pulseaudio.h>

#include <atomic>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>

#include "platform/pulse/delivery_clock.h"
#include "platform/pulse/pulse_capture.h"
#include "platform/pulse/pulse_error.h"
#include "platform/pulse/pulse_loop.h"

namespace zoranth {

class CaptureStream {
  public:
    // `config` and `loop` outlive the stream.
    CaptureStream(const PulseLoop& loop, const PulseCapture::Config& config);
    CaptureStream(const CaptureStream&) = delete;
    CaptureStream& operator=(const CaptureStream&) = delete;

    // Replaces the stream with one on `target`'s monitor and waits until it delivers.
    std::expected<void, PulseError> open(const PulseLoop::SinkDetails& target);
    // Replaces the stream with one on `target`'s monitor without waiting; `change`, if any,
    // is told once it is ready, so that the owner reads its new format, and a stream that
    // cannot be made is reported as lost.
    void reopen(const PulseLoop::SinkDetails& target, std::optional<PulseCapture::Change> change);
    // Called on the loop's thread with the server's error code when the stream fails or
    // ends, or cannot be made again; once per stream.
    void setOnLost(std::function<void(int code)> onLost) { onLost_ = std::move(onLost); }
    // Called on the loop's thread when the server moved the stream to another source.
    void setOnMoved(std::function<void()> onMoved) { onMoved_ = std::move(onMoved); }
    // While interrupted (the capture is reconnecting) silence stands in for a stream that
    // is missing or not ready yet.
    void setInterrupted(bool interrupted) { interrupted_ = interrupted; }
    // Disconnects and forgets the stream; nothing more is delivered from it.
    void detach();
    // From now on the stream's end is the owner's doing: nothing is reported.
    void setClosing() { closing_ = true; }

    bool exists() const { return stream_ != nullptr; }
    // The stream exists and has not failed (it may still be connecting).
    bool healthy() const;
    const std::string& source() const { return source_; }
    // The server moved the stream since it was made (it follows a default of its own, or
    // rescued it from a source that went away).
    bool movedByServer() const { return movedByServer_; }
    std::optional<PulseCapture::StreamInfo> info() const;
    std::uint32_t channels() const { return channels_; }
    // The stream's channel map, or the default one for its channel count.
    pa_channel_map channelMap() const;
    // How the stream differs from a capture of `sink`'s monitor, if it does.
    std::optional<PulseCapture::Change> strayFrom(const PulseLoop::SinkDetails& sink) const;

    bool rename(const std::string& name);
    // Drops what the server buffered; the next delivery measures the time anchor again.
    bool flush();

    // Starts and stops the silence that keeps the timeline going while the server is quiet.
    void startFilling();
    void stopFilling();

    // Any thread.
    PulseCapture::Stats stats() const;
    // The clock the timeline runs on: CLOCK_MONOTONIC in nanoseconds.
    static std::int64_t monotonicNanos();

  private:
    static void onRead(pa_stream* s, std::size_t, void* userdata);
    static void onStreamState(pa_stream* s, void* userdata);
    static void onMoved(pa_stream* s, void* userdata);
    static void onSuspended(pa_stream* s, void* userdata);
    static void onFillTimer(pa_mainloop_api*, pa_time_event* timer, const struct timeval*,
                            void* userdata);

    std::expected<void, PulseError> create(const PulseLoop::SinkDetails& target);
    std::expected<void, PulseError> awaitReady();
    void emit(PulseCapture::Change change) const;

    void handOver(const float* samples, std::uint32_t frames, const DeliveryClock::Stamp& stamp);
    void deliver(const float* samples, std::uint64_t frames, std::int64_t arrival,
                 std::uint64_t backlogFrames);
    void deliverSilence(std::uint64_t frames);
    void fillSilence(std::int64_t now);

    // --- the loop thread's, touched by the other calls with the loop locked ---
    const PulseLoop& loop_;
    const PulseCapture::Config& config_;
    DeliveryClock clock_;
    pa_stream* stream_ = nullptr;
    std::string source_;
    std::uint32_t channels_ = 0;
    std::uint32_t frameBytes_ = 0;
    bool lostReported_ = false;
    std::optional<PulseCapture::Change> announceWhenReady_;
    bool suspended_ = false;
    bool closing_ = false;
    bool interrupted_ = false;
    bool movedByServer_ = false;
    std::function<void(int)> onLost_;
    std::function<void()> onMoved_;
    pa_time_event* fillTimer_ = nullptr;
    pa_usec_t fillDeadline_ = 0;

    // --- any thread ---
    std::atomic<std::uint64_t> deliveries_{0};
    std::atomic<std::uint64_t> silentDeliveries_{0};
    std::atomic<std::uint64_t> holes_{0};
    std::atomic<std::uint64_t> discontinuities_{0};
    std::atomic<std::uint64_t> droppedFrames_{0};
};

}  // namespace zoranth
