#include "platform/pulse/pulse_capture.h"

#include <pthread.h>

#include <algorithm>
#include <optional>
#include <thread>

#include "platform/pulse/capture_stream.h"
#include "platform/pulse/default_sink_follower.h"
#include "platform/pulse/pulse_loop.h"
#include "platform/pulse/tap_mute_sink.h"

namespace zoranth {

// The capture's parts share the loop: the stream, the tap mute and the follower of the
// default sink, and, once the capture is watched, the thread that reconnects it. Their state
// is the loop thread's; owner calls and the reconnecting thread touch it with the loop
// locked, and never both at once: a loss waits for the owner call in progress, and owner
// calls are refused while the capture reconnects.
struct PulseCapture::Impl {
    explicit Impl(Config configuration)
        : config(std::move(configuration)),
          loop(config.threadName.c_str()),
          stream(loop, config),
          mute(loop, config),
          follower(loop, config, stream, mute) {
        loop.setOnLost([this](int code) { noteLoss(PulseError{code, "pa_context_connect"}); });
        stream.setOnLost([this](int code) { streamLost(code); });
        stream.setOnMoved([this] { follower.checkDefault(); });
        follower.setOnDoubtfulDefault([this] { doubtView(); });
    }

    Config config;
    PulseLoop loop;
    CaptureStream stream;
    TapMuteSink mute;
    DefaultSinkFollower follower;
    bool closing = false;

    // --- keeping the capture alive ---
    bool kept = false;         // watched: a loss is reconnected
    bool lossPending = false;  // a loss waits for the reconnecting thread
    std::int64_t lossAt = 0;
    PulseError lossCause;
    bool reconnecting = false;
    bool freshView = false;  // the next attempt connects anew, whatever the connection's state
    int ownerCalls = 0;      // owner calls between their requests
    Connection connection;
    std::thread keeper;

    PulseError error(int code, const char* operation) const {
        return PulseError{code == 0 ? PA_ERR_UNKNOWN : code, operation};
    }

    // Owner calls may lock the loop: it runs and this is not its own thread.
    bool callable() const { return loop.started() && !loop.inLoopThread(); }
    // With the loop locked: why an owner call cannot talk to the server now, if it cannot.
    std::optional<PulseError> refusal(const char* operation) const {
        if (loop.context() == nullptr || closing) {
            return error(PA_ERR_BADSTATE, operation);
        }
        if (reconnecting || lossPending) {
            return error(PA_ERR_CONNECTIONTERMINATED, operation);
        }
        return std::nullopt;
    }
    bool usable() const { return !refusal("").has_value(); }

    // An owner call between its requests: a loss and the follower's events wait for it.
    class OwnerCall {
      public:
        explicit OwnerCall(Impl& impl) : impl_(impl) {
            ++impl_.ownerCalls;
            impl_.follower.holdEvents();
        }
        // A call that left a watched capture without a stream (a mute that could not
        // open, a resync that failed) is a loss like any other.
        ~OwnerCall() {
            impl_.follower.releaseEvents();
            --impl_.ownerCalls;
            if (impl_.kept && !impl_.stream.healthy()) {
                impl_.noteLoss(impl_.error(impl_.loop.contextError(), "pa_stream_connect_record"));
            }
            impl_.loop.signal();
        }
        OwnerCall(const OwnerCall&) = delete;
        OwnerCall& operator=(const OwnerCall&) = delete;

      private:
        Impl& impl_;
    };

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

    // ------------------------------------------------------------ keeping it alive

    // On the loop's thread: the stream failed. A watched capture reconnects; before that the
    // owner is told, as it is still bringing the capture up.
    void streamLost(int code) {
        if (kept) {
            noteLoss(error(code, "pa_stream_connect_record"));
        } else if (!closing) {
            emit(Change::streamLost);
        }
    }

    // On the loop's thread (or with the loop locked): the first sign of a loss is its cause.
    // One that comes while the capture reconnects is looked at once that is done.
    void noteLoss(const PulseError& cause) {
        if (!kept || closing) {
            return;
        }
        if (!lossPending) {
            lossAt = CaptureStream::monotonicNanos();
            lossCause = cause;
        }
        lossPending = true;
        loop.signal();
    }

    // On the loop's thread: this connection's view of the default sink is in doubt. A fresh
    // connection settles it, made at once by the reconnecting thread; the capture is only
    // declared lost if that fails.
    void doubtView() {
        freshView = true;
        noteLoss(error(PA_ERR_NOENTITY, "pa_context_get_server_info"));
    }

    void startKeeping() {
        kept = true;
        if (!keeper.joinable()) {
            keeper = std::thread([this] { keep(); });
        }
    }

    // The reconnecting thread: asleep until a loss, with the loop locked otherwise.
    void keep() {
        pthread_setname_np(pthread_self(), "zoranth-reconn");
        PulseLoop::Guard guard(loop);
        for (;;) {
            while (!closing && !(lossPending && ownerCalls == 0)) {
                loop.wait();
            }
            if (closing) {
                return;
            }
            recover();
        }
    }

    // Brings the capture back: at once, then with growing waits, until it runs again or the
    // capture closes. A loss is declared only when the first attempt failed. Whatever is
    // lost again meanwhile is looked at by the next round.
    void recover() {
        lossPending = false;
        if (!freshView && loop.contextReady() && stream.healthy()) {
            return;  // the follower reopened it meanwhile
        }
        reconnecting = true;
        stream.setInterrupted(true);
        follower.holdEvents();
        follower.forgetPlaying();
        mute.pauseRouting();
        const std::uint32_t channelsBefore = stream.channels();
        const auto outputBefore = follower.device();
        std::chrono::milliseconds wait = config.reconnectFirst;
        bool declared = false;
        for (;;) {
            const auto attempt = reconnect();
            if (attempt || closing) {
                break;
            }
            const bool first = !declared;
            if (first) {
                declared = true;
                connection.lost = true;
                ++connection.losses;
                connection.lostSinceNanos = static_cast<std::uint64_t>(lossAt);
                connection.lostForNanos = 0;
                connection.cause = lossCause;
                connection.attempts = 0;
                connection.muteDropped = false;
            }
            ++connection.attempts;
            connection.lastAttempt = attempt.error();
            // Some servers answer an older connection from a view that never catches up
            // (no default sink yet, say): every next attempt starts afresh.
            freshView = true;
            if (first) {
                emit(Change::connectionLost);
            }
            if (loop.pause(wait, [this] { return closing; })) {
                break;
            }
            wait = std::min(wait * 2, config.reconnectLongest);
        }
        reconnecting = false;
        stream.setInterrupted(false);
        follower.releaseEvents();
        if (closing) {
            return;
        }
        if (declared) {
            connection.lost = false;
            connection.lostForNanos = static_cast<std::uint64_t>(CaptureStream::monotonicNanos()) -
                                      connection.lostSinceNanos;
            emit(Change::connectionRestored);
        }
        const auto outputAfter = follower.device();
        if (stream.channels() != channelsBefore) {
            emit(Change::formatChanged);
        } else if (!outputBefore || !outputAfter || outputBefore->name != outputAfter->name) {
            emit(Change::defaultSinkChanged);
        }
    }

    // One attempt: a fresh connection where the old one died, the stream on the default
    // sink's monitor, the watch and the tap mute as they were.
    std::expected<void, PulseError> reconnect() {
        if (!loop.contextReady() || freshView) {
            follower.stopWatching();
            stream.detach();
            loop.disconnect();
            if (auto connected =
                    loop.connect(config.clientName, config.timeout, [this] { return closing; });
                !connected) {
                return connected;
            }
            freshView = false;
        }
        auto sink = follower.readDefault();
        if (!sink) {
            return std::unexpected(sink.error());
        }
        if (auto opened = stream.open(*sink); !opened) {
            return opened;
        }
        if (!follower.watching()) {
            if (auto watched = follower.watch(); !watched) {
                return watched;
            }
        }
        if (mute.muted()) {
            connection.muteDropped = !mute.reapply(stream, *sink).has_value();
        }
        follower.refreshPlaying();
        return {};
    }

    // Closing: the reconnecting thread stops first, then the rest goes.
    void stopKeeping() {
        {
            PulseLoop::Guard guard(loop);
            closing = true;
            loop.signal();
        }
        if (keeper.joinable()) {
            keeper.join();
        }
    }
};

PulseCapture::PulseCapture(Config config) : impl_(std::make_unique<Impl>(std::move(config))) {}

PulseCapture::~PulseCapture() {
    close();
}

std::expected<void, PulseError> PulseCapture::connect() {
    Impl& self = *impl_;
    if (!self.callable()) {
        return std::unexpected(self.error(PA_ERR_BADSTATE, "pa_context_connect"));
    }
    PulseLoop::Guard guard(self.loop);
    if (self.closing) {
        return std::unexpected(self.error(PA_ERR_BADSTATE, "pa_context_connect"));
    }
    if (auto connected = self.loop.connect(self.config.clientName, self.config.timeout);
        !connected) {
        return connected;
    }
    Impl::OwnerCall call(self);
    self.mute.unloadStale();
    return {};
}

std::expected<PulseOutputDevice, PulseError> PulseCapture::defaultSink() {
    Impl& self = *impl_;
    constexpr const char* what = "pa_context_get_server_info";
    if (!self.callable()) {
        return std::unexpected(self.error(PA_ERR_BADSTATE, what));
    }
    PulseLoop::Guard guard(self.loop);
    if (auto refused = self.refusal(what)) {
        return std::unexpected(*refused);
    }
    Impl::OwnerCall call(self);
    auto sink = self.follower.readDefault();
    if (!sink) {
        return std::unexpected(sink.error());
    }
    self.follower.refreshPlaying();
    return self.follower.device().value_or(sink->device);
}

std::expected<PulseCapture::StreamInfo, PulseError> PulseCapture::openStream(
    const PulseOutputDevice& sink) {
    Impl& self = *impl_;
    constexpr const char* what = "pa_stream_connect_record";
    if (!self.callable()) {
        return std::unexpected(self.error(PA_ERR_BADSTATE, what));
    }
    PulseLoop::Guard guard(self.loop);
    if (auto refused = self.refusal(what)) {
        return std::unexpected(*refused);
    }
    Impl::OwnerCall call(self);
    auto details = self.loop.sinkByName(sink.name, self.config.timeout);
    if (!details) {
        return std::unexpected(details.error());
    }
    if (auto opened = self.stream.open(*details); !opened) {
        return std::unexpected(opened.error());
    }
    const auto info = self.stream.info();
    if (!info) {
        return std::unexpected(self.error(self.loop.contextError(), what));
    }
    self.stream.startFilling();
    return *info;
}

std::expected<void, PulseError> PulseCapture::watchChanges() {
    Impl& self = *impl_;
    constexpr const char* what = "pa_context_subscribe";
    if (!self.callable()) {
        return std::unexpected(self.error(PA_ERR_BADSTATE, what));
    }
    PulseLoop::Guard guard(self.loop);
    if (auto refused = self.refusal(what)) {
        return std::unexpected(*refused);
    }
    std::expected<void, PulseError> watched;
    {
        Impl::OwnerCall call(self);
        watched = self.follower.watch();
    }
    if (watched) {
        self.startKeeping();
    }
    return watched;
}

PulseCapture::Connection PulseCapture::connection() const {
    if (!impl_->callable()) {
        return {};
    }
    PulseLoop::Guard guard(impl_->loop);
    return impl_->connection;
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
    Impl& self = *impl_;
    if (!self.callable()) {
        return false;
    }
    PulseLoop::Guard guard(self.loop);
    if (!self.usable()) {
        return false;
    }
    Impl::OwnerCall call(self);
    return self.stream.rename(name);
}

bool PulseCapture::resync() {
    Impl& self = *impl_;
    if (!self.callable()) {
        return false;
    }
    PulseLoop::Guard guard(self.loop);
    if (!self.usable() || !self.stream.exists()) {
        return false;
    }
    Impl::OwnerCall call(self);
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
    if (change && ok) {
        self.emit(*change);
    } else if (change) {
        self.streamLost(self.loop.contextError());
    }
    return ok;
}

std::expected<PulseCapture::MuteReport, PulseError> PulseCapture::setMuted(bool muted) {
    Impl& self = *impl_;
    const char* what = muted ? "pa_context_load_module" : "pa_context_unload_module";
    if (!self.callable()) {
        return std::unexpected(self.error(PA_ERR_BADSTATE, what));
    }
    PulseLoop::Guard guard(self.loop);
    if (auto refused = self.refusal(what)) {
        return std::unexpected(*refused);
    }
    if (!self.stream.exists()) {
        return std::unexpected(self.error(PA_ERR_BADSTATE, what));
    }
    if (self.mute.muted() == muted) {
        return MuteReport{self.mute.sinkName(), 0};
    }
    Impl::OwnerCall call(self);
    return muted ? self.muteNow() : self.unmuteNow();
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
    self.stopKeeping();
    PulseLoop::Guard guard(self.loop);
    self.stream.setClosing();
    self.follower.stopWatching();
    if (self.mute.muted() && self.loop.contextReady()) {
        (void)self.unmuteNow();
    }
    self.stream.stopFilling();
    self.stream.detach();
    self.loop.disconnect();
}

}  // namespace zoranth
