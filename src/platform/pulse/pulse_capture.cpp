#include "platform/pulse/pulse_capture.h"

#include <pulse/rtclock.h>

#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <mutex>
#include <string_view>

#include "platform/pulse/delivery_clock.h"
#include "platform/pulse/pulse_loop.h"

namespace zoranth {
namespace {

// Mute sinks are named after the process that loaded them, so a host that starts after a
// crash can tell its predecessor's leftovers from another running host's.
constexpr std::string_view muteSinkPrefix = "zoranth_tap_mute_";

std::int64_t monotonicNanos() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

bool processIsGone(pid_t pid) {
    return pid > 0 && kill(pid, 0) == -1 && errno == ESRCH;
}

std::optional<pid_t> muteSinkOwner(std::string_view name) {
    if (!name.starts_with(muteSinkPrefix)) {
        return std::nullopt;
    }
    name.remove_prefix(muteSinkPrefix.size());
    pid_t pid = 0;
    std::size_t digits = 0;
    while (digits < name.size() && name[digits] >= '0' && name[digits] <= '9') {
        pid = pid * 10 + (name[digits] - '0');
        ++digits;
    }
    if (digits == 0) {
        return std::nullopt;
    }
    return pid;
}

}  // namespace

struct PulseCapture::Impl {
    explicit Impl(Config configuration)
        : config(std::move(configuration)), loop(config.threadName.c_str()), clock(config.rate) {}

    // --- state owned by the loop thread; owner calls touch it with the loop locked ---
    Config config;
    PulseLoop loop;
    DeliveryClock clock;
    pa_stream* stream = nullptr;
    std::string streamSource;
    std::uint32_t streamChannels = 0;
    std::uint32_t frameBytes = 0;
    bool streamLostReported = false;
    std::optional<Change> announceWhenReady;
    bool suspended = false;
    pa_time_event* fillTimer = nullptr;
    pa_usec_t fillDeadline = 0;
    bool watching = false;
    bool closing = false;
    bool busy = false;  // an owner call is between requests: events wait for it
    bool recheckPending = false;
    std::string knownDefaultName;
    std::uint32_t knownDefaultIndex = PA_INVALID_INDEX;
    bool muted = false;
    bool routeNewInputs = false;
    std::uint32_t muteModule = PA_INVALID_INDEX;
    std::uint32_t muteSinkIndex = PA_INVALID_INDEX;
    std::string muteSinkName;
    std::uint32_t muteCount = 0;
    bool playingSeen = false;

    // --- any thread ---
    mutable std::mutex deviceMutex;  // guards device
    std::optional<PulseOutputDevice> device;
    std::atomic<std::uint64_t> deliveries{0};
    std::atomic<std::uint64_t> silentDeliveries{0};
    std::atomic<std::uint64_t> holes{0};
    std::atomic<std::uint64_t> discontinuities{0};
    std::atomic<std::uint64_t> droppedFrames{0};

    PulseError error(int code, const char* operation) const {
        return PulseError{code == 0 ? PA_ERR_UNKNOWN : code, operation};
    }

    // Owner calls may lock the loop: it runs and this is not its own thread.
    bool callable() const { return loop.started() && !loop.inLoopThread(); }
    // With the loop locked: connected and not closing.
    bool usable() const { return loop.context() != nullptr && !closing; }

    void emit(Change change) {
        if (config.onChange) {
            config.onChange(change);
        }
    }

    // Keeps the playing state, which comes from the streams rather than the sink.
    void rememberDevice(const PulseOutputDevice& seen) {
        std::lock_guard lock(deviceMutex);
        const bool playing = device && device->index == seen.index && device->running;
        device = seen;
        device->running = playing;
    }

    // ---------------------------------------------------------------- deliveries

    void handOver(const float* samples, std::uint32_t frames, const DeliveryClock::Stamp& stamp) {
        if (config.deliver != nullptr) {
            const CaptureDelivery delivery{samples,
                                           frames,
                                           streamChannels,
                                           frames * frameBytes,
                                           stamp.firstFrameNanos,
                                           stamp.discontinuity};
            config.deliver(config.deliverContext, delivery);
        }
        deliveries.fetch_add(1, std::memory_order_relaxed);
    }

    // The server's own frames (null samples for a hole in its stream), split where they
    // exceed a delivery; frames whose time the layer's silence already covered are dropped.
    void deliver(const float* samples, std::uint64_t frames, std::int64_t arrival,
                 std::uint64_t backlogFrames) {
        while (frames > 0) {
            const auto count = static_cast<std::uint32_t>(
                std::min<std::uint64_t>(frames, config.maxFramesPerDelivery));
            frames -= count;
            const auto arrivalNanos = static_cast<std::uint64_t>(arrival);
            if (const std::uint64_t gap =
                    clock.silenceBefore(arrivalNanos, count, backlogFrames + frames);
                gap > 0) {
                deliverSilence(gap);
            }
            const DeliveryClock::Stamp stamp =
                clock.stamp(arrivalNanos, count, backlogFrames + frames);
            if (stamp.discontinuity) {
                discontinuities.store(clock.discontinuities(), std::memory_order_relaxed);
            }
            if (stamp.droppedFrames > 0) {
                droppedFrames.fetch_add(stamp.droppedFrames, std::memory_order_relaxed);
            }
            const std::uint32_t kept = count - stamp.droppedFrames;
            const float* first =
                samples == nullptr
                    ? nullptr
                    : samples + static_cast<std::size_t>(stamp.droppedFrames) * streamChannels;
            if (kept > 0) {
                handOver(first, kept, stamp);
            }
            if (samples != nullptr) {
                samples += static_cast<std::size_t>(count) * streamChannels;
            }
        }
    }

    // The layer's own silence, continuing the timeline in fragments.
    void deliverSilence(std::uint64_t frames) {
        while (frames > 0) {
            const auto count =
                static_cast<std::uint32_t>(std::min<std::uint64_t>(frames, config.fragmentFrames));
            frames -= count;
            handOver(nullptr, count, clock.stampSilence(count));
            silentDeliveries.fetch_add(1, std::memory_order_relaxed);
        }
    }

    // Only copies: peek, hand over, drop. A hole is handed over as silence.
    static void onRead(pa_stream* s, std::size_t, void* userdata) {
        auto* self = static_cast<Impl*>(userdata);
        if (s != self->stream || self->frameBytes == 0) {
            return;
        }
        const std::int64_t arrival = monotonicNanos();
        const std::size_t readable = pa_stream_readable_size(s);
        std::size_t consumed = 0;
        for (;;) {
            const void* data = nullptr;
            std::size_t bytes = 0;
            if (pa_stream_peek(s, &data, &bytes) < 0 || bytes == 0) {
                return;
            }
            consumed += bytes;
            const std::size_t behind = readable > consumed ? readable - consumed : 0;
            if (data == nullptr) {
                self->holes.fetch_add(1, std::memory_order_relaxed);
            }
            self->deliver(static_cast<const float*>(data), bytes / self->frameBytes, arrival,
                          behind / self->frameBytes);
            pa_stream_drop(s);
        }
    }

    // Keeps the device's clock running: while the server delivers nothing (a suspended or
    // idle sink) this delivers silence at the fragment cadence. A tick that fires late means
    // this thread was held up, and whatever the server sent meanwhile is still unread: the
    // tick comes again at once, after the reads, rather than fill time the audio covers.
    static void onFillTimer(pa_mainloop_api*, pa_time_event* timer, const struct timeval*,
                            void* userdata) {
        auto* self = static_cast<Impl*>(userdata);
        const pa_usec_t period = static_cast<pa_usec_t>(self->config.fragmentFrames) *
                                 PA_USEC_PER_SEC / self->config.rate;
        const pa_usec_t now = pa_rtclock_now();
        const bool heldUp = now > self->fillDeadline + period;
        self->fillDeadline = heldUp ? now : now + period;
        pa_context_rttime_restart(self->loop.context(), timer, self->fillDeadline);
        if (!heldUp) {
            self->fillSilence(monotonicNanos());
        }
    }

    void fillSilence(std::int64_t now) {
        if (stream == nullptr || pa_stream_get_state(stream) != PA_STREAM_READY) {
            return;
        }
        const std::uint64_t due = clock.silenceDue(static_cast<std::uint64_t>(now), suspended);
        deliverSilence(due / config.fragmentFrames * config.fragmentFrames);
    }

    void startFillTimer() {
        if (fillTimer == nullptr) {
            fillDeadline = pa_rtclock_now();
            fillTimer = pa_context_rttime_new(loop.context(), fillDeadline, onFillTimer, this);
        }
    }

    void stopFillTimer() {
        if (fillTimer != nullptr) {
            pa_threaded_mainloop_get_api(loop.mainloop())->time_free(fillTimer);
            fillTimer = nullptr;
        }
    }

    // ---------------------------------------------------------------- the stream

    static void onStreamState(pa_stream* s, void* userdata) {
        auto* self = static_cast<Impl*>(userdata);
        self->loop.signal();
        if (s != self->stream || self->closing) {
            return;
        }
        const pa_stream_state_t state = pa_stream_get_state(s);
        if (state == PA_STREAM_READY && self->announceWhenReady) {
            const Change change = *self->announceWhenReady;
            self->announceWhenReady.reset();
            self->emit(change);
        }
        if ((state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) &&
            !self->streamLostReported) {
            self->streamLostReported = true;
            self->emit(Change::streamLost);
        }
    }

    static void onMoved(pa_stream* s, void* userdata) {
        auto* self = static_cast<Impl*>(userdata);
        if (s != self->stream) {
            return;
        }
        const char* source = pa_stream_get_device_name(s);
        self->streamSource = source != nullptr ? source : "";
        self->clock.noteBreak();
        if (!self->closing) {
            self->emit(Change::moved);
        }
    }

    static void onSuspended(pa_stream* s, void* userdata) {
        auto* self = static_cast<Impl*>(userdata);
        if (s != self->stream) {
            return;
        }
        self->suspended = pa_stream_is_suspended(s) > 0;
        self->clock.noteBreak();
    }

    void detachStream() {
        if (stream == nullptr) {
            return;
        }
        pa_stream_set_state_callback(stream, nullptr, nullptr);
        pa_stream_set_read_callback(stream, nullptr, nullptr);
        pa_stream_set_moved_callback(stream, nullptr, nullptr);
        pa_stream_set_suspended_callback(stream, nullptr, nullptr);
        if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) {
            pa_stream_disconnect(stream);
        }
        pa_stream_unref(stream);
        stream = nullptr;
    }

    // Replaces the stream with one on `target`'s monitor; does not wait for it. The sink's
    // own channel map is kept where it fits, so the server has nothing to remix.
    std::expected<void, PulseError> createStream(const PulseLoop::SinkDetails& target) {
        const std::uint32_t channels = std::min(target.device.channels, config.maxChannels);
        if (channels == 0) {
            return std::unexpected(error(PA_ERR_INVALID, "pa_stream_new"));
        }
        const pa_sample_spec sampleFormat{PA_SAMPLE_FLOAT32NE, config.rate,
                                  static_cast<std::uint8_t>(channels)};
        pa_channel_map map = target.channelMap;
        if (target.device.channels > config.maxChannels || map.channels != channels) {
            pa_channel_map_init_extend(&map, channels, PA_CHANNEL_MAP_DEFAULT);
        }
        pa_proplist* properties = pa_proplist_new();
        pa_proplist_sets(properties, PA_PROP_MEDIA_NAME, config.streamName.c_str());
        pa_stream* created = pa_stream_new_with_proplist(loop.context(), config.streamName.c_str(),
                                                         &sampleFormat, &map, properties);
        pa_proplist_free(properties);
        if (created == nullptr) {
            return std::unexpected(error(pa_context_errno(loop.context()), "pa_stream_new"));
        }
        detachStream();
        stream = created;
        streamChannels = channels;
        frameBytes = channels * static_cast<std::uint32_t>(sizeof(float));
        streamSource = target.device.monitorSource;
        streamLostReported = false;
        announceWhenReady.reset();
        suspended = false;
        clock.restart(static_cast<std::uint64_t>(monotonicNanos()));
        pa_stream_set_state_callback(stream, onStreamState, this);
        pa_stream_set_read_callback(stream, onRead, this);
        pa_stream_set_moved_callback(stream, onMoved, this);
        pa_stream_set_suspended_callback(stream, onSuspended, this);
        pa_buffer_attr attributes{};
        attributes.maxlength = static_cast<std::uint32_t>(-1);
        attributes.tlength = static_cast<std::uint32_t>(-1);
        attributes.prebuf = static_cast<std::uint32_t>(-1);
        attributes.minreq = static_cast<std::uint32_t>(-1);
        attributes.fragsize = config.fragmentFrames * frameBytes;
        if (pa_stream_connect_record(stream, streamSource.c_str(), &attributes,
                                     PA_STREAM_ADJUST_LATENCY) < 0) {
            const int code = pa_context_errno(loop.context());
            detachStream();
            return std::unexpected(error(code, "pa_stream_connect_record"));
        }
        return {};
    }

    std::expected<void, PulseError> awaitStreamReady() {
        pa_stream* waiting = stream;
        const int result =
            loop.waitUntil([waiting] { return pa_stream_get_state(waiting) != PA_STREAM_CREATING; },
                           config.timeout);
        if (result != 0) {
            return std::unexpected(error(result, "pa_stream_connect_record"));
        }
        if (pa_stream_get_state(waiting) != PA_STREAM_READY) {
            return std::unexpected(error(loop.contextError(), "pa_stream_connect_record"));
        }
        suspended = pa_stream_is_suspended(waiting) > 0;
        const char* source = pa_stream_get_device_name(waiting);
        if (source != nullptr) {
            streamSource = source;
        }
        return {};
    }

    std::expected<void, PulseError> openOn(const PulseLoop::SinkDetails& target) {
        if (auto created = createStream(target); !created) {
            return created;
        }
        auto ready = awaitStreamReady();
        if (!ready) {
            detachStream();
        }
        return ready;
    }

    std::optional<StreamInfo> currentStreamInfo() const {
        if (stream == nullptr || pa_stream_get_state(stream) != PA_STREAM_READY) {
            return std::nullopt;
        }
        StreamInfo info;
        info.index = pa_stream_get_index(stream);
        info.sourceIndex = pa_stream_get_device_index(stream);
        info.sourceName = streamSource;
        if (const pa_sample_spec* sampleFormat = pa_stream_get_sample_spec(stream)) {
            info.rate = sampleFormat->rate;
            info.channels = sampleFormat->channels;
        }
        if (const pa_buffer_attr* attributes = pa_stream_get_buffer_attr(stream);
            attributes && frameBytes) {
            info.fragmentFrames = attributes->fragsize / frameBytes;
        }
        info.suspended = suspended;
        return info;
    }

    // ---------------------------------------------------------------- server events

    // Owner calls mark themselves busy while they wait; events that arrive meanwhile are
    // looked at again once the call is done.
    void beginBusy() { busy = true; }
    void endBusy() {
        busy = false;
        if (recheckPending && watching && !closing) {
            recheckPending = false;
            requestDefaultCheck();
        }
    }

    static void onSubscription(pa_context*, pa_subscription_event_type_t type, std::uint32_t index,
                               void* userdata) {
        auto* self = static_cast<Impl*>(userdata);
        if (self->closing) {
            return;
        }
        const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
        const auto kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
        if (facility == PA_SUBSCRIPTION_EVENT_SERVER) {
            self->requestDefaultCheck();
        } else if (facility == PA_SUBSCRIPTION_EVENT_SINK) {
            if (kind != PA_SUBSCRIPTION_EVENT_REMOVE && index == self->knownDefaultIndex) {
                self->requestDefaultCheck();
            }
        } else if (facility == PA_SUBSCRIPTION_EVENT_SINK_INPUT) {
            if (kind == PA_SUBSCRIPTION_EVENT_NEW && self->routeNewInputs) {
                if (pa_operation* operation = pa_context_get_sink_input_info(
                        self->loop.context(), index, onNewInput, self)) {
                    pa_operation_unref(operation);
                }
            }
            self->requestPlayingCheck();
        }
    }

    // The captured sink is "running" while a stream plays into it: the muted streams' sink
    // while muted, the default sink otherwise.
    void requestPlayingCheck() {
        if (pa_operation* operation =
                pa_context_get_sink_input_info_list(loop.context(), onInputForPlaying, this)) {
            pa_operation_unref(operation);
        }
    }

    static void onInputForPlaying(pa_context*, const pa_sink_input_info* info, int eol,
                                  void* userdata) {
        auto* self = static_cast<Impl*>(userdata);
        const std::uint32_t captured = self->muted ? self->muteSinkIndex : self->knownDefaultIndex;
        if (eol == 0 && info != nullptr) {
            self->playingSeen = self->playingSeen || (info->sink == captured && info->corked == 0);
            return;
        }
        self->setPlaying(self->playingSeen);
        self->playingSeen = false;
    }

    void setPlaying(bool playing) {
        std::lock_guard lock(deviceMutex);
        if (device) {
            device->running = playing;
        }
    }

    void refreshPlaying() {
        if (auto inputs = loop.sinkInputs(config.timeout)) {
            setPlaying(PulseLoop::playsInto(*inputs, muted ? muteSinkIndex : knownDefaultIndex));
        }
    }

    void requestDefaultCheck() {
        if (busy) {
            recheckPending = true;
            return;
        }
        if (pa_operation* operation =
                pa_context_get_server_info(loop.context(), onServerInfo, this)) {
            pa_operation_unref(operation);
        }
    }

    static void onServerInfo(pa_context* context, const pa_server_info* info, void* userdata) {
        if (info == nullptr || info->default_sink_name == nullptr) {
            return;
        }
        if (pa_operation* operation = pa_context_get_sink_info_by_name(
                context, info->default_sink_name, onDefaultSink, userdata)) {
            pa_operation_unref(operation);
        }
    }

    static void onDefaultSink(pa_context*, const pa_sink_info* info, int eol, void* userdata) {
        if (eol != 0 || info == nullptr) {
            return;
        }
        static_cast<Impl*>(userdata)->followDefaultSink(PulseLoop::detailsOf(*info));
    }

    // The stream keeps capturing whatever the default sink plays. Some servers move a
    // monitor stream along with the default sink, others leave it where it was; either way
    // it ends up on the new default's monitor, reopened when the channel count changed.
    void followDefaultSink(const PulseLoop::SinkDetails& details) {
        const bool newDefault = details.device.index != knownDefaultIndex;
        knownDefaultName = details.device.name;
        knownDefaultIndex = details.device.index;
        rememberDevice(details.device);
        if (newDefault) {
            requestPlayingCheck();
        }
        if (busy) {
            recheckPending = true;
            return;
        }
        if (stream == nullptr || closing || muted) {
            return;
        }
        const std::optional<Change> change = strayFrom(details);
        if (!change) {
            return;
        }
        if (!createStream(details)) {
            streamLostReported = true;
            emit(Change::streamLost);
            return;
        }
        // Told once the new stream is ready, so that the owner reads its new format.
        announceWhenReady = change;
    }

    // How the stream differs from a capture of `sink`'s monitor, if it does.
    std::optional<Change> strayFrom(const PulseLoop::SinkDetails& sink) const {
        if (streamSource != sink.device.monitorSource) {
            return Change::defaultSinkChanged;
        }
        if (std::min(sink.device.channels, config.maxChannels) != streamChannels) {
            return Change::formatChanged;
        }
        return std::nullopt;
    }

    static void onNewInput(pa_context* context, const pa_sink_input_info* info, int eol,
                           void* userdata) {
        auto* self = static_cast<Impl*>(userdata);
        if (eol != 0 || info == nullptr || !self->routeNewInputs ||
            info->sink != self->knownDefaultIndex) {
            return;
        }
        if (pa_operation* operation = pa_context_move_sink_input_by_index(
                context, info->index, self->muteSinkIndex, nullptr, nullptr)) {
            pa_operation_unref(operation);
        }
    }

    // ---------------------------------------------------------------- tap mute

    void unloadStaleMuteSinks() {
        auto sinks = loop.sinks(config.timeout);
        if (!sinks) {
            return;
        }
        for (const PulseLoop::SinkDetails& sink : *sinks) {
            const auto owner = muteSinkOwner(sink.device.name);
            if (owner && *owner != getpid() && processIsGone(*owner) &&
                sink.ownerModule != PA_INVALID_INDEX) {
                (void)loop.unloadModule(sink.ownerModule, config.timeout);
            }
        }
    }

    std::expected<MuteReport, PulseError> mute() {
        const std::uint32_t channels = streamChannels;
        auto defaultSink = loop.defaultSink(config.timeout);
        if (!defaultSink) {
            return std::unexpected(defaultSink.error());
        }
        knownDefaultName = defaultSink->device.name;
        knownDefaultIndex = defaultSink->device.index;

        char mapText[PA_CHANNEL_MAP_SNPRINT_MAX];
        pa_channel_map map{};
        if (const pa_channel_map* streamMap = pa_stream_get_channel_map(stream)) {
            map = *streamMap;
        } else {
            pa_channel_map_init_extend(&map, channels, PA_CHANNEL_MAP_DEFAULT);
        }
        pa_channel_map_snprint(mapText, sizeof mapText, &map);
        const std::string sinkName = std::string(muteSinkPrefix) + std::to_string(getpid()) + "_" +
                                     std::to_string(++muteCount);
        const std::string arguments =
            "sink_name=" + sinkName + " rate=" + std::to_string(config.rate) +
            " channels=" + std::to_string(channels) + " channel_map=" + mapText +
            " sink_properties='device.description=\"Zoranth Tap Mute\"'";
        auto module = loop.loadModule("module-null-sink", arguments, config.timeout);
        if (!module) {
            return std::unexpected(module.error());
        }
        auto muteSink = loop.sinkByName(sinkName, config.timeout);
        if (!muteSink) {
            (void)loop.unloadModule(*module, config.timeout);
            return std::unexpected(muteSink.error());
        }
        // A fresh null sink renders far ahead of time until someone asks for low latency,
        // and its monitor stays quiet until the clock catches up. Holding it suspended
        // until the capture is connected restarts it on time with the capture's latency.
        (void)loop.suspendSink(muteSink->device.index, true, config.timeout);
        auto opened = openOn(*muteSink);
        (void)loop.suspendSink(muteSink->device.index, false, config.timeout);
        if (!opened) {
            (void)loop.unloadModule(*module, config.timeout);
            return std::unexpected(opened.error());
        }
        muted = true;
        muteModule = *module;
        muteSinkIndex = muteSink->device.index;
        muteSinkName = sinkName;
        routeNewInputs = true;

        MuteReport report{sinkName, 0};
        auto inputs = loop.sinkInputs(config.timeout);
        if (!inputs) {
            (void)unmute();
            return std::unexpected(inputs.error());
        }
        for (const PulseLoop::SinkInput& input : *inputs) {
            // A stream may end or refuse to move meanwhile; the rest still move.
            if (input.sink == knownDefaultIndex &&
                loop.moveSinkInput(input.index, muteSinkIndex, config.timeout)) {
                ++report.movedInputs;
            }
        }
        refreshPlaying();
        return report;
    }

    std::expected<MuteReport, PulseError> unmute() {
        routeNewInputs = false;
        MuteReport report{muteSinkName, 0};
        auto defaultSink = loop.defaultSink(config.timeout);
        if (defaultSink) {
            knownDefaultName = defaultSink->device.name;
            knownDefaultIndex = defaultSink->device.index;
            rememberDevice(defaultSink->device);
            if (auto inputs = loop.sinkInputs(config.timeout)) {
                for (const PulseLoop::SinkInput& input : *inputs) {
                    if (input.sink == muteSinkIndex &&
                        loop.moveSinkInput(input.index, defaultSink->device.index,
                                           config.timeout)) {
                        ++report.movedInputs;
                    }
                }
            }
        }
        std::expected<void, PulseError> reopened;
        bool reshaped = false;
        if (defaultSink && stream != nullptr && !closing) {
            reshaped = std::min(defaultSink->device.channels, config.maxChannels) != streamChannels;
            reopened = openOn(*defaultSink);
        }
        // Unloading the null sink hands whatever still plays on it back to the default sink.
        auto unloaded = loop.unloadModule(muteModule, config.timeout);
        muted = false;
        muteModule = PA_INVALID_INDEX;
        muteSinkIndex = PA_INVALID_INDEX;
        muteSinkName.clear();
        refreshPlaying();
        if (!defaultSink) {
            return std::unexpected(defaultSink.error());
        }
        if (!reopened) {
            return std::unexpected(reopened.error());
        }
        if (!unloaded) {
            return std::unexpected(unloaded.error());
        }
        if (reshaped) {
            emit(Change::formatChanged);
        }
        return report;
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
    impl_->unloadStaleMuteSinks();
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
    auto sink = impl_->loop.defaultSink(impl_->config.timeout);
    if (!sink) {
        return std::unexpected(sink.error());
    }
    impl_->knownDefaultName = sink->device.name;
    impl_->knownDefaultIndex = sink->device.index;
    impl_->rememberDevice(sink->device);
    impl_->refreshPlaying();
    std::lock_guard lock(impl_->deviceMutex);
    return impl_->device.value_or(sink->device);
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
    impl_->beginBusy();
    std::expected<StreamInfo, PulseError> result;
    if (auto details = impl_->loop.sinkByName(sink.name, impl_->config.timeout); !details) {
        result = std::unexpected(details.error());
    } else if (auto opened = impl_->openOn(*details); !opened) {
        result = std::unexpected(opened.error());
    } else if (auto info = impl_->currentStreamInfo()) {
        impl_->startFillTimer();
        result = *info;
    } else {
        result =
            std::unexpected(impl_->error(impl_->loop.contextError(), "pa_stream_connect_record"));
    }
    impl_->endBusy();
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
    pa_context* context = impl_->loop.context();
    pa_context_set_subscribe_callback(context, Impl::onSubscription, impl_.get());
    struct Reply {
        pa_threaded_mainloop* mainloop;
        bool ok = false;
    } reply{impl_->loop.mainloop()};
    const auto mask = static_cast<pa_subscription_mask_t>(
        PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SINK_INPUT);
    pa_operation* operation = pa_context_subscribe(
        context, mask,
        [](pa_context*, int success, void* userdata) {
            auto* reply = static_cast<Reply*>(userdata);
            reply->ok = success != 0;
            pa_threaded_mainloop_signal(reply->mainloop, 0);
        },
        &reply);
    if (const int result = impl_->loop.await(operation, impl_->config.timeout);
        result != 0 || !reply.ok) {
        pa_context_set_subscribe_callback(context, nullptr, nullptr);
        return std::unexpected(impl_->error(result != 0 ? result : impl_->loop.contextError(),
                                            "pa_context_subscribe"));
    }
    impl_->watching = true;
    return {};
}

std::optional<PulseCapture::StreamInfo> PulseCapture::streamInfo() const {
    if (!impl_->callable()) {
        return std::nullopt;
    }
    PulseLoop::Guard guard(impl_->loop);
    return impl_->usable() ? impl_->currentStreamInfo() : std::nullopt;
}

std::optional<PulseOutputDevice> PulseCapture::outputDevice() const {
    std::lock_guard lock(impl_->deviceMutex);
    return impl_->device;
}

bool PulseCapture::rename(const std::string& name) {
    if (!impl_->callable()) {
        return false;
    }
    PulseLoop::Guard guard(impl_->loop);
    if (!impl_->usable()) {
        return false;
    }
    if (impl_->stream == nullptr) {
        return false;
    }
    struct Reply {
        pa_threaded_mainloop* mainloop;
        bool ok = false;
    } reply{impl_->loop.mainloop()};
    pa_operation* operation = pa_stream_set_name(
        impl_->stream, name.c_str(),
        [](pa_stream*, int success, void* userdata) {
            auto* reply = static_cast<Reply*>(userdata);
            reply->ok = success != 0;
            pa_threaded_mainloop_signal(reply->mainloop, 0);
        },
        &reply);
    return impl_->loop.await(operation, impl_->config.timeout) == 0 && reply.ok;
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
    if (self.stream == nullptr) {
        return false;
    }
    self.beginBusy();
    bool ok = true;
    std::optional<Change> change;
    if (!self.muted) {
        auto sink = self.loop.defaultSink(self.config.timeout);
        ok = sink.has_value();
        if (sink) {
            self.knownDefaultName = sink->device.name;
            self.knownDefaultIndex = sink->device.index;
            self.rememberDevice(sink->device);
            change = self.strayFrom(*sink);
            ok = !change || self.openOn(*sink).has_value();
        }
    }
    struct Reply {
        pa_threaded_mainloop* mainloop;
        bool ok = false;
    } reply{self.loop.mainloop()};
    if (ok && self.stream != nullptr) {
        pa_operation* operation = pa_stream_flush(
            self.stream,
            [](pa_stream*, int success, void* userdata) {
                auto* reply = static_cast<Reply*>(userdata);
                reply->ok = success != 0;
                pa_threaded_mainloop_signal(reply->mainloop, 0);
            },
            &reply);
        ok = self.loop.await(operation, self.config.timeout) == 0 && reply.ok;
        self.clock.noteBreak();
    }
    self.endBusy();
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
    if (self.stream == nullptr) {
        return std::unexpected(self.error(PA_ERR_BADSTATE, operation));
    }
    if (self.muted == muted) {
        return MuteReport{self.muteSinkName, 0};
    }
    self.beginBusy();
    auto result = muted ? self.mute() : self.unmute();
    self.endBusy();
    return result;
}

bool PulseCapture::isMuted() const {
    if (!impl_->callable()) {
        return false;
    }
    PulseLoop::Guard guard(impl_->loop);
    return impl_->muted;
}

PulseCapture::Stats PulseCapture::stats() const {
    return Stats{impl_->deliveries.load(std::memory_order_relaxed),
                 impl_->silentDeliveries.load(std::memory_order_relaxed),
                 impl_->holes.load(std::memory_order_relaxed),
                 impl_->discontinuities.load(std::memory_order_relaxed),
                 impl_->droppedFrames.load(std::memory_order_relaxed)};
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
    self.beginBusy();
    if (self.muted) {
        self.closing = true;
        (void)self.unmute();
    }
    self.closing = true;
    self.watching = false;
    self.stopFillTimer();
    self.detachStream();
    self.loop.disconnect();
    self.busy = false;
}

}  // namespace zoranth
