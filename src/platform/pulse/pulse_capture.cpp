#include "platform/pulse/pulse_capture.h"

#include "platform/pulse/capture_stream.h"
#include "platform/pulse/default_sink_follower.h"
#include "platform/pulse/pulse_loop.h"
#include "platform/pulse/tap_mute_sink.h"

namespace zoranth {

// The capture's parts share the loop: the stream, the tap mute and the follower of the
// default sink. Their state is the loop thread's; owner calls touch it with the loop locked.
struct PulseCapture::Impl {
    explicit Impl(Config configuration)
        : config(std::move(configuration)),
          loop(config.threadName.c_str()),
          stream(loop, config),
          mute(loop, config),
          follower(loop, config, stream, mute) {}

    Config config;
    PulseLoop loop;
    CaptureStream stream;
    TapMuteSink mute;
    DefaultSinkFollower follower;
    bool closing = false;

    PulseError error(int code, const char* operation) const {
        return PulseError{code == 0 ? PA_ERR_UNKNOWN : code, operation};
    }

    // Owner calls may lock the loop: it runs and this is not its own thread.
    bool callable() const { return loop.started() && !loop.inLoopThread(); }
    // With the loop locked: connected and not closing.
    bool usable() const { return loop.context() != nullptr && !closing; }

    void emit(Change change) const {
        if (config.onChange) {
            config.onChange(change);
        }
    }

    std::expected<MuteReport, PulseError> muteNow() {
        auto defaultSink = follower.readDefault();
        if (!defaultSink) {
            return std::unexpected(defaultSink.error());
        }
        auto report = mute.mute(stream, *defaultSink);
        follower.refreshPlaying();
        return report;
    }

    std::expected<MuteReport, PulseError> unmuteNow() {
        auto unmuted = mute.unmute(stream, follower.readDefault(), !closing);
        follower.refreshPlaying();
        if (!unmuted) {
            return std::unexpected(unmuted.error());
        }
        if (unmuted->reshaped) {
            emit(Change::formatChanged);
        }
        return unmuted->report;
    }
};

PulseCapture::PulseCapture(Config config) : impl_(std::make_unique<Impl>(std::move(config))) {}

PulseCapture::~PulseCapture() {
    close();
}

std::expected<void, PulseError> PulseCapture::connect() {
    if (impl_->loop.inLoopThread()) {
        return std::unexpected(impl_->error(PA_ERR_BADSTATE, "pa_context_connect"));
    }
    if (auto connected = impl_->loop.connect(impl_->config.clientName, impl_->config.timeout);
        !connected) {
        return connected;
    }
    PulseLoop::Guard guard(impl_->loop);
    impl_->mute.unloadStale();
    return {};
}

std::expected<PulseOutputDevice, PulseError> PulseCapture::defaultSink() {
    if (!impl_->callable()) {
        return std::unexpected(impl_->error(PA_ERR_BADSTATE, "pa_context_get_server_info"));
    }
    PulseLoop::Guard guard(impl_->loop);
    if (!impl_->usable()) {
        return std::unexpected(impl_->error(PA_ERR_BADSTATE, "pa_context_get_server_info"));
    }
    auto sink = impl_->follower.readDefault();
    if (!sink) {
        return std::unexpected(sink.error());
    }
    impl_->follower.refreshPlaying();
    return impl_->follower.device().value_or(sink->device);
}

std::expected<PulseCapture::StreamInfo, PulseError> PulseCapture::openStream(
    const PulseOutputDevice& sink) {
    if (!impl_->callable()) {
        return std::unexpected(impl_->error(PA_ERR_BADSTATE, "pa_stream_connect_record"));
    }
    PulseLoop::Guard guard(impl_->loop);
    if (!impl_->usable()) {
        return std::unexpected(impl_->error(PA_ERR_BADSTATE, "pa_stream_connect_record"));
    }
    Impl& self = *impl_;
    self.follower.holdEvents();
    std::expected<StreamInfo, PulseError> result;
    if (auto details = self.loop.sinkByName(sink.name, self.config.timeout); !details) {
        result = std::unexpected(details.error());
    } else if (auto opened = self.stream.open(*details); !opened) {
        result = std::unexpected(opened.error());
    } else if (auto info = self.stream.info()) {
        self.stream.startFilling();
        result = *info;
    } else {
        result = std::unexpected(self.error(self.loop.contextError(), "pa_stream_connect_record"));
    }
    self.follower.releaseEvents();
    return result;
}

std::expected<void, PulseError> PulseCapture::watchChanges() {
    if (!impl_->callable()) {
        return std::unexpected(impl_->error(PA_ERR_BADSTATE, "pa_context_subscribe"));
    }
    PulseLoop::Guard guard(impl_->loop);
    if (!impl_->usable()) {
        return std::unexpected(impl_->error(PA_ERR_BADSTATE, "pa_context_subscribe"));
    }
    return impl_->follower.watch();
}

std::optional<PulseCapture::StreamInfo> PulseCapture::streamInfo() const {
    if (!impl_->callable()) {
        return std::nullopt;
    }
    PulseLoop::Guard guard(impl_->loop);
    return impl_->usable() ? impl_->stream.info() : std::nullopt;
}

std::optional<PulseOutputDevice> PulseCapture::outputDevice() const {
    return impl_->follower.device();
}

bool PulseCapture::rename(const std::string& name) {
    if (!impl_->callable()) {
        return false;
    }
    PulseLoop::Guard guard(impl_->loop);
    return impl_->usable() && impl_->stream.rename(name);
}

bool PulseCapture::resync() {
    if (!impl_->callable()) {
        return false;
    }
    PulseLoop::Guard guard(impl_->loop);
    if (!impl_->usable()) {
        return false;
    }
    Impl& self = *impl_;
    if (!self.stream.exists()) {
        return false;
    }
    self.follower.holdEvents();
    bool ok = true;
    std::optional<Change> change;
    if (!self.mute.muted()) {
        auto sink = self.follower.readDefault();
        ok = sink.has_value();
        if (sink) {
            change = self.stream.strayFrom(*sink);
            ok = !change || self.stream.open(*sink).has_value();
        }
    }
    if (ok) {
        ok = self.stream.flush();
    }
    self.follower.releaseEvents();
    if (change) {
        self.emit(ok ? *change : Change::streamLost);
    }
    return ok;
}

std::expected<PulseCapture::MuteReport, PulseError> PulseCapture::setMuted(bool muted) {
    const char* operation = muted ? "pa_context_load_module" : "pa_context_unload_module";
    if (!impl_->callable()) {
        return std::unexpected(impl_->error(PA_ERR_BADSTATE, operation));
    }
    PulseLoop::Guard guard(impl_->loop);
    if (!impl_->usable()) {
        return std::unexpected(impl_->error(PA_ERR_BADSTATE, operation));
    }
    Impl& self = *impl_;
    if (!self.stream.exists()) {
        return std::unexpected(self.error(PA_ERR_BADSTATE, operation));
    }
    if (self.mute.muted() == muted) {
        return MuteReport{self.mute.sinkName(), 0};
    }
    self.follower.holdEvents();
    auto result = muted ? self.muteNow() : self.unmuteNow();
    self.follower.releaseEvents();
    return result;
}

bool PulseCapture::isMuted() const {
    if (!impl_->callable()) {
        return false;
    }
    PulseLoop::Guard guard(impl_->loop);
    return impl_->mute.muted();
}

PulseCapture::Stats PulseCapture::stats() const {
    return impl_->stream.stats();
}

void PulseCapture::close() {
    Impl& self = *impl_;
    if (!self.callable()) {
        return;
    }
    PulseLoop::Guard guard(self.loop);
    if (self.loop.context() == nullptr) {
        return;
    }
    self.closing = true;
    self.stream.setClosing();
    self.follower.stopWatching();
    if (self.mute.muted()) {
        (void)self.unmuteNow();
    }
    self.stream.stopFilling();
    self.stream.detach();
    self.loop.disconnect();
}

}  // namespace zoranth
