#include "platform/pulse/capture_stream.h"

#include <pulse/rtclock.h>

#include <algorithm>
#include <ctime>

namespace zoranth {
namespace {

PulseError failure(int code, const char* operation) {
    return PulseError{code == 0 ? PA_ERR_UNKNOWN : code, operation};
}

}  // namespace

std::int64_t CaptureStream::monotonicNanos() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

CaptureStream::CaptureStream(const PulseLoop& loop, const PulseCapture::Config& config)
    : loop_(loop), config_(config), clock_(config.rate) {}

void CaptureStream::emit(PulseCapture::Change change) const {
    if (config_.onChange) {
        config_.onChange(change);
    }
}

// ---------------------------------------------------------------- deliveries

void CaptureStream::handOver(const float* samples, std::uint32_t frames,
                             const DeliveryClock::Stamp& stamp) {
    if (config_.deliver != nullptr) {
        const CaptureDelivery delivery{samples,
                                       frames,
                                       channels_,
                                       frames * frameBytes_,
                                       stamp.firstFrameNanos,
                                       stamp.discontinuity};
        config_.deliver(config_.deliverContext, delivery);
    }
    deliveries_.fetch_add(1, std::memory_order_relaxed);
}

// The server's own frames (null samples for a hole in its stream), split where they exceed a
// delivery; frames whose time the layer's silence already covered are dropped.
void CaptureStream::deliver(const float* samples, std::uint64_t frames, std::int64_t arrival,
                            std::uint64_t backlogFrames) {
    while (frames > 0) {
        const auto count = static_cast<std::uint32_t>(
            std::min<std::uint64_t>(frames, config_.maxFramesPerDelivery));
        frames -= count;
        const auto arrivalNanos = static_cast<std::uint64_t>(arrival);
        if (const std::uint64_t gap =
                clock_.silenceBefore(arrivalNanos, count, backlogFrames + frames);
            gap > 0) {
            deliverSilence(gap);
        }
        const DeliveryClock::Stamp stamp =
            clock_.stamp(arrivalNanos, count, backlogFrames + frames);
        if (stamp.discontinuity) {
            discontinuities_.store(clock_.discontinuities(), std::memory_order_relaxed);
        }
        if (stamp.droppedFrames > 0) {
            droppedFrames_.fetch_add(stamp.droppedFrames, std::memory_order_relaxed);
        }
        const std::uint32_t kept = count - stamp.droppedFrames;
        const float* first =
            samples == nullptr
                ? nullptr
                : samples + static_cast<std::size_t>(stamp.droppedFrames) * channels_;
        if (kept > 0) {
            handOver(first, kept, stamp);
        }
        if (samples != nullptr) {
            samples += static_cast<std::size_t>(count) * channels_;
        }
    }
}

// The layer's own silence, continuing the timeline in fragments.
void CaptureStream::deliverSilence(std::uint64_t frames) {
    while (frames > 0) {
        const auto count =
            static_cast<std::uint32_t>(std::min<std::uint64_t>(frames, config_.fragmentFrames));
        frames -= count;
        handOver(nullptr, count, clock_.stampSilence(count));
        silentDeliveries_.fetch_add(1, std::memory_order_relaxed);
    }
}

// Only copies: peek, hand over, drop. A hole is handed over as silence.
void CaptureStream::onRead(pa_stream* s, std::size_t, void* userdata) {
    auto* self = static_cast<CaptureStream*>(userdata);
    if (s != self->stream_ || self->frameBytes_ == 0) {
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
            self->holes_.fetch_add(1, std::memory_order_relaxed);
        }
        self->deliver(static_cast<const float*>(data), bytes / self->frameBytes_, arrival,
                      behind / self->frameBytes_);
        pa_stream_drop(s);
    }
}

// Keeps the device's clock running: while the server delivers nothing (a suspended or idle
// sink) this delivers silence at the fragment cadence. A tick that fires late means this
// thread was held up, and whatever the server sent meanwhile is still unread: the tick comes
// again at once, after the reads, rather than fill time the audio covers.
void CaptureStream::onFillTimer(pa_mainloop_api*, pa_time_event* timer, const struct timeval*,
                                void* userdata) {
    auto* self = static_cast<CaptureStream*>(userdata);
    const pa_usec_t period =
        static_cast<pa_usec_t>(self->config_.fragmentFrames) * PA_USEC_PER_SEC / self->config_.rate;
    const pa_usec_t now = pa_rtclock_now();
    const bool heldUp = now > self->fillDeadline_ + period;
    self->fillDeadline_ = heldUp ? now : now + period;
    self->loop_.restartTimer(timer, self->fillDeadline_);
    if (!heldUp) {
        self->fillSilence(monotonicNanos());
    }
}

void CaptureStream::fillSilence(std::int64_t now) {
    const bool ready = stream_ != nullptr && pa_stream_get_state(stream_) == PA_STREAM_READY;
    if (!ready && !interrupted_) {
        return;
    }
    // Without a ready stream nothing else brings the timeline up to now: silence is due at
    // once, as for a suspended sink.
    const std::uint64_t due =
        clock_.silenceDue(static_cast<std::uint64_t>(now), suspended_ || !ready);
    deliverSilence(due / config_.fragmentFrames * config_.fragmentFrames);
}

void CaptureStream::startFilling() {
    if (fillTimer_ == nullptr) {
        fillDeadline_ = pa_rtclock_now();
        fillTimer_ = loop_.newTimer(fillDeadline_, onFillTimer, this);
    }
}

void CaptureStream::stopFilling() {
    if (fillTimer_ != nullptr) {
        loop_.freeTimer(fillTimer_);
        fillTimer_ = nullptr;
    }
}

PulseCapture::Stats CaptureStream::stats() const {
    return PulseCapture::Stats{deliveries_.load(std::memory_order_relaxed),
                               silentDeliveries_.load(std::memory_order_relaxed),
                               holes_.load(std::memory_order_relaxed),
                               discontinuities_.load(std::memory_order_relaxed),
                               droppedFrames_.load(std::memory_order_relaxed)};
}

// ---------------------------------------------------------------- the stream's life

void CaptureStream::onStreamState(pa_stream* s, void* userdata) {
    auto* self = static_cast<CaptureStream*>(userdata);
    self->loop_.signal();
    if (s != self->stream_ || self->closing_) {
        return;
    }
    const pa_stream_state_t state = pa_stream_get_state(s);
    if (state == PA_STREAM_READY && self->announceWhenReady_) {
        const PulseCapture::Change change = *self->announceWhenReady_;
        self->announceWhenReady_.reset();
        self->emit(change);
    }
    if ((state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) && !self->lostReported_) {
        self->lostReported_ = true;
        if (self->onLost_) {
            self->onLost_(self->loop_.contextError());
        }
    }
}

void CaptureStream::onMoved(pa_stream* s, void* userdata) {
    auto* self = static_cast<CaptureStream*>(userdata);
    if (s != self->stream_) {
        return;
    }
    const char* source = pa_stream_get_device_name(s);
    self->source_ = source != nullptr ? source : "";
    self->movedByServer_ = true;
    self->clock_.noteBreak();
    if (!self->closing_) {
        self->emit(PulseCapture::Change::moved);
        if (self->onMoved_) {
            self->onMoved_();
        }
    }
}

void CaptureStream::onSuspended(pa_stream* s, void* userdata) {
    auto* self = static_cast<CaptureStream*>(userdata);
    if (s != self->stream_) {
        return;
    }
    self->suspended_ = pa_stream_is_suspended(s) > 0;
    self->clock_.noteBreak();
}

void CaptureStream::detach() {
    if (stream_ == nullptr) {
        return;
    }
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
    pa_stream_set_read_callback(stream_, nullptr, nullptr);
    pa_stream_set_moved_callback(stream_, nullptr, nullptr);
    pa_stream_set_suspended_callback(stream_, nullptr, nullptr);
    if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream_))) {
        pa_stream_disconnect(stream_);
    }
    pa_stream_unref(stream_);
    stream_ = nullptr;
}

// Replaces the stream with one on `target`'s monitor; does not wait for it. The sink's own
// channel map is kept where it fits, so the server has nothing to remix.
std::expected<void, PulseError> CaptureStream::create(const PulseLoop::SinkDetails& target) {
    const std::uint32_t channels = std::min(target.device.channels, config_.maxChannels);
    if (channels == 0) {
        return std::unexpected(failure(PA_ERR_INVALID, "pa_stream_new"));
    }
    pa_context* context = loop_.context();
    const pa_sample_spec sampleFormat{PA_SAMPLE_FLOAT32NE, config_.rate,
                                      static_cast<std::uint8_t>(channels)};
    pa_channel_map map = target.channelMap;
    if (target.device.channels > config_.maxChannels || map.channels != channels) {
        pa_channel_map_init_extend(&map, channels, PA_CHANNEL_MAP_DEFAULT);
    }
    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_MEDIA_NAME, config_.streamName.c_str());
    pa_stream* created = pa_stream_new_with_proplist(context, config_.streamName.c_str(),
                                                     &sampleFormat, &map, properties);
    pa_proplist_free(properties);
    if (created == nullptr) {
        return std::unexpected(failure(pa_context_errno(context), "pa_stream_new"));
    }
    detach();
    stream_ = created;
    channels_ = channels;
    frameBytes_ = channels * static_cast<std::uint32_t>(sizeof(float));
    source_ = target.device.monitorSource;
    movedByServer_ = false;
    lostReported_ = false;
    announceWhenReady_.reset();
    suspended_ = false;
    clock_.restart(static_cast<std::uint64_t>(monotonicNanos()));
    pa_stream_set_state_callback(stream_, onStreamState, this);
    pa_stream_set_read_callback(stream_, onRead, this);
    pa_stream_set_moved_callback(stream_, onMoved, this);
    pa_stream_set_suspended_callback(stream_, onSuspended, this);
    pa_buffer_attr attributes{};
    attributes.maxlength = static_cast<std::uint32_t>(-1);
    attributes.tlength = static_cast<std::uint32_t>(-1);
    attributes.prebuf = static_cast<std::uint32_t>(-1);
    attributes.minreq = static_cast<std::uint32_t>(-1);
    attributes.fragsize = config_.fragmentFrames * frameBytes_;
    if (pa_stream_connect_record(stream_, source_.c_str(), &attributes, PA_STREAM_ADJUST_LATENCY) <
        0) {
        const int code = pa_context_errno(context);
        detach();
        return std::unexpected(failure(code, "pa_stream_connect_record"));
    }
    return {};
}

std::expected<void, PulseError> CaptureStream::awaitReady() {
    pa_stream* waiting = stream_;
    const int result = loop_.waitUntil(
        [waiting] { return pa_stream_get_state(waiting) != PA_STREAM_CREATING; }, config_.timeout);
    if (result != 0) {
        return std::unexpected(failure(result, "pa_stream_connect_record"));
    }
    if (pa_stream_get_state(waiting) != PA_STREAM_READY) {
        return std::unexpected(failure(loop_.contextError(), "pa_stream_connect_record"));
    }
    suspended_ = pa_stream_is_suspended(waiting) > 0;
    if (const char* source = pa_stream_get_device_name(waiting); source != nullptr) {
        source_ = source;
    }
    return {};
}

std::expected<void, PulseError> CaptureStream::open(const PulseLoop::SinkDetails& target) {
    if (auto created = create(target); !created) {
        return created;
    }
    auto ready = awaitReady();
    if (!ready) {
        detach();
    }
    return ready;
}

void CaptureStream::reopen(const PulseLoop::SinkDetails& target,
                           std::optional<PulseCapture::Change> change) {
    if (auto created = create(target); !created) {
        lostReported_ = true;
        if (onLost_) {
            onLost_(created.error().code);
        }
        return;
    }
    announceWhenReady_ = change;
}

bool CaptureStream::healthy() const {
    return stream_ != nullptr && PA_STREAM_IS_GOOD(pa_stream_get_state(stream_));
}

std::optional<PulseCapture::StreamInfo> CaptureStream::info() const {
    if (stream_ == nullptr || pa_stream_get_state(stream_) != PA_STREAM_READY) {
        return std::nullopt;
    }
    PulseCapture::StreamInfo info;
    info.index = pa_stream_get_index(stream_);
    info.sourceIndex = pa_stream_get_device_index(stream_);
    info.sourceName = source_;
    if (const pa_sample_spec* sampleFormat = pa_stream_get_sample_spec(stream_)) {
        info.rate = sampleFormat->rate;
        info.channels = sampleFormat->channels;
    }
    if (const pa_buffer_attr* attributes = pa_stream_get_buffer_attr(stream_);
        attributes && frameBytes_) {
        info.fragmentFrames = attributes->fragsize / frameBytes_;
    }
    info.suspended = suspended_;
    return info;
}

pa_channel_map CaptureStream::channelMap() const {
    pa_channel_map map{};
    if (const pa_channel_map* streamMap =
            stream_ != nullptr ? pa_stream_get_channel_map(stream_) : nullptr) {
        map = *streamMap;
    } else {
        pa_channel_map_init_extend(&map, channels_, PA_CHANNEL_MAP_DEFAULT);
    }
    return map;
}

std::optional<PulseCapture::Change> CaptureStream::strayFrom(
    const PulseLoop::SinkDetails& sink) const {
    if (source_ != sink.device.monitorSource) {
        return PulseCapture::Change::defaultSinkChanged;
    }
    if (std::min(sink.device.channels, config_.maxChannels) != channels_) {
        return PulseCapture::Change::formatChanged;
    }
    return std::nullopt;
}

bool CaptureStream::rename(const std::string& name) {
    if (stream_ == nullptr) {
        return false;
    }
    using Reply = PulseLoop::Reply<PulseLoop::Done>;
    return loop_
        .requestDone("pa_stream_set_name", config_.timeout,
                     [this, &name](Reply& reply) {
                         return pa_stream_set_name(stream_, name.c_str(),
                                                   PulseLoop::onSuccess<pa_stream>, &reply);
                     })
        .has_value();
}

bool CaptureStream::flush() {
    if (stream_ == nullptr) {
        return false;
    }
    using Reply = PulseLoop::Reply<PulseLoop::Done>;
    const bool flushed = loop_
                             .requestDone("pa_stream_flush", config_.timeout,
                                          [this](Reply& reply) {
                                              return pa_stream_flush(
                                                  stream_, PulseLoop::onSuccess<pa_stream>, &reply);
                                          })
                             .has_value();
    clock_.noteBreak();
    return flushed;
}

}  // namespace zoranth
