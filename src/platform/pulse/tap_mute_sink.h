// Inside the PulseAudio layer only: the tap mute. Muted, everything playing on the default
// sink (and whatever starts there while muted) is moved to a private null sink whose monitor
// the capture stream records instead, so the speakers fall silent while the capture keeps
// the audio; unmuted, the streams go back and the null sink is unloaded. Called with the
// loop locked, from any thread but the loop's own, except take(), which runs on it.
#pragma once

#include <cstdint>
#include <expected>
#include <string>

#include "platform/pulse/capture_stream.h"
#include "platform/pulse/pulse_capture.h"
#include "platform/pulse/pulse_error.h"
#include "platform/pulse/pulse_loop.h"

namespace zoranth {

class TapMuteSink {
  public:
    // `loop` and `config` outlive the mute.
    TapMuteSink(const PulseLoop& loop, const PulseCapture::Config& config);

    // Unloads mute sinks left behind by a host process that is gone.
    void unloadStale();

    // Loads the null sink, moves `stream` onto its monitor and the streams playing on
    // `defaultSink` into it.
    std::expected<PulseCapture::MuteReport, PulseError> mute(
        CaptureStream& stream, const PulseLoop::SinkDetails& defaultSink);

    struct Unmuted {
        PulseCapture::MuteReport report;
        bool reshaped = false;  // the stream came back with another channel count
    };
    // Moves the streams back to `defaultSink` (when it could be read), puts `stream` back on
    // its monitor unless `reopen` is false, and unloads the null sink whatever failed.
    std::expected<Unmuted, PulseError> unmute(
        CaptureStream& stream, const std::expected<PulseLoop::SinkDetails, PulseError>& defaultSink,
        bool reopen);

    // After a reconnection, with `stream` open on `defaultSink`'s monitor: the capture goes
    // back to the null sink where the server still has it (only the connection was lost),
    // or a fresh one takes the default sink's streams (the server started anew). Failing,
    // the mute is dropped: the capture stays on the default sink.
    std::expected<PulseCapture::MuteReport, PulseError> reapply(
        CaptureStream& stream, const PulseLoop::SinkDetails& defaultSink);
    // Stops moving new streams until the mute is applied again: the null sink's index may
    // mean another sink on a new server.
    void pauseRouting() { routeNewInputs_ = false; }

    bool muted() const { return muted_; }
    // Whether streams that start on the default sink are to be moved here.
    bool routing() const { return routeNewInputs_; }
    std::uint32_t sinkIndex() const { return sink_.device.index; }
    const std::string& sinkName() const { return sinkName_; }
    // The null sink as the server described it when it was loaded or found again.
    const PulseLoop::SinkDetails& sink() const { return sink_; }
    // On the loop's thread: moves one new stream into the null sink, without waiting.
    void take(std::uint32_t input) const;

  private:
    void forget();
    std::expected<std::uint32_t, PulseError> moveInputs(std::uint32_t from, std::uint32_t to) const;

    const PulseLoop& loop_;
    const PulseCapture::Config& config_;
    bool muted_ = false;
    bool routeNewInputs_ = false;
    std::uint32_t module_ = PA_INVALID_INDEX;
    PulseLoop::SinkDetails sink_;
    std::string sinkName_;
    std::uint32_t count_ = 0;  // null sinks loaded so far, for unique names
};

}  // namespace zoranth
