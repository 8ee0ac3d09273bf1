// Inside the PulseAudio layer only: following the default sink. It watches the server, its
// sinks and their streams; when the default sink changes the capture stream is put on the new
// default's monitor (reopened where its channel count changed), new streams are handed to the
// tap mute while it routes them, and the playing state of the captured sink is kept. Its
// callbacks run on the loop's thread; the other calls are made with the loop locked, from any
// other thread, except device(), which any thread may call.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "platform/pulse/capture_stream.h"
#include "platform/pulse/pulse_capture.h"
#include "platform/pulse/pulse_error.h"
#include "platform/pulse/pulse_loop.h"
#include "platform/pulse/pulse_output_device.h"
#include "platform/pulse/tap_mute_sink.h"

namespace zoranth {

class DefaultSinkFollower {
  public:
    // All four outlive the follower.
    DefaultSinkFollower(const PulseLoop& loop, const PulseCapture::Config& config,
                        CaptureStream& stream, const TapMuteSink& mute);

    // Asks the server for the default sink and remembers it.
    std::expected<PulseLoop::SinkDetails, PulseError> readDefault();
    // Subscribes to the server's changes.
    std::expected<void, PulseError> watch();
    // Events are ignored from now on (until watch() again, on a new connection).
    void stopWatching();

    // Asks the server for its default sink again, without waiting, and follows it. For
    // servers that move the stream along with the default sink without telling of the
    // change itself (PipeWire's PulseAudio server).
    void checkDefault();
    // Called on the loop's thread when the server put the stream on another sink's monitor
    // than this connection's view of the default sink: a view that may be out of date (a
    // PipeWire server may not tell an older connection of a new default), which only a
    // fresh connection can settle.
    void setOnDoubtfulDefault(std::function<void()> onDoubt) { onDoubt_ = std::move(onDoubt); }

    // An owner call is between requests: events wait for it and are looked at again after.
    void holdEvents() { held_ = true; }
    void releaseEvents();

    // Asks which streams play into the captured sink, and waits for the answer.
    void refreshPlaying();
    // Nothing is known to play (the capture has lost the server).
    void forgetPlaying() { setPlaying(false); }
    bool watching() const { return watching_; }

    // The default sink as last seen; any thread.
    std::optional<PulseOutputDevice> device() const;

  private:
    static void onSubscription(pa_context*, pa_subscription_event_type_t type, std::uint32_t index,
                               void* userdata);
    static void onNewInput(pa_context*, const pa_sink_input_info* info, int eol, void* userdata);
    static void onInputForPlaying(pa_context*, const pa_sink_input_info* info, int eol,
                                  void* userdata);
    static void onServerInfo(pa_context* context, const pa_server_info* info, void* userdata);
    static void onDefaultSink(pa_context*, const pa_sink_info* info, int eol, void* userdata);

    void remember(const PulseLoop::SinkDetails& seen);
    void requestPlayingCheck();
    void takeInputsOfDefault();
    void requestDefaultCheck();
    void follow(const PulseLoop::SinkDetails& details);
    void setPlaying(bool playing);
    // The sink whose streams are captured: the tap mute's while muted, the default otherwise.
    std::uint32_t capturedSink() const;

    // --- the loop thread's, touched by the other calls with the loop locked ---
    const PulseLoop& loop_;
    const PulseCapture::Config& config_;
    CaptureStream& stream_;
    const TapMuteSink& mute_;
    bool watching_ = false;
    bool held_ = false;
    bool recheckPending_ = false;
    bool defaultMoved_ = false;  // a new default not yet looked at by the mute
    std::uint32_t knownIndex_ = PA_INVALID_INDEX;
    bool playingSeen_ = false;
    std::function<void()> onDoubt_;

    // --- any thread ---
    mutable std::mutex deviceMutex_;  // guards device_
    std::optional<PulseOutputDevice> device_;
};

}  // namespace zoranth
