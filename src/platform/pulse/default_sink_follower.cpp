#include "platform/pulse/default_sink_follower.h"

#include <utility>

namespace zoranth {

DefaultSinkFollower::DefaultSinkFollower(const PulseLoop& loop, const PulseCapture::Config& config,
                                         CaptureStream& stream, const TapMuteSink& mute)
    : loop_(loop), config_(config), stream_(stream), mute_(mute) {}

// Keeps the playing state, which comes from the streams rather than the sink.
void DefaultSinkFollower::remember(const PulseLoop::SinkDetails& seen) {
    knownIndex_ = seen.device.index;
    std::lock_guard lock(deviceMutex_);
    const bool playing = device_ && device_->index == seen.device.index && device_->running;
    device_ = seen.device;
    device_->running = playing;
}

std::expected<PulseLoop::SinkDetails, PulseError> DefaultSinkFollower::readDefault() {
    auto sink = loop_.defaultSink(config_.timeout);
    if (sink) {
        remember(*sink);
    }
    return sink;
}

std::optional<PulseOutputDevice> DefaultSinkFollower::device() const {
    std::lock_guard lock(deviceMutex_);
    return device_;
}

std::expected<void, PulseError> DefaultSinkFollower::watch() {
    pa_context* context = loop_.context();
    pa_context_set_subscribe_callback(context, onSubscription, this);
    const auto mask = static_cast<pa_subscription_mask_t>(
        PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SINK_INPUT);
    using Reply = PulseLoop::Reply<PulseLoop::Done>;
    auto subscribed = loop_.requestDone("pa_context_subscribe", config_.timeout, [&](Reply& reply) {
        return pa_context_subscribe(context, mask, PulseLoop::onSuccess<pa_context>, &reply);
    });
    if (!subscribed) {
        pa_context_set_subscribe_callback(context, nullptr, nullptr);
        return subscribed;
    }
    watching_ = true;
    return {};
}

void DefaultSinkFollower::stopWatching() {
    watching_ = false;
    recheckPending_ = false;
    defaultMoved_ = false;
}

void DefaultSinkFollower::releaseEvents() {
    held_ = false;
    if (recheckPending_ && watching_) {
        recheckPending_ = false;
        requestDefaultCheck();
    }
}

void DefaultSinkFollower::onSubscription(pa_context*, pa_subscription_event_type_t type,
                                         std::uint32_t index, void* userdata) {
    auto* self = static_cast<DefaultSinkFollower*>(userdata);
    if (!self->watching_) {
        return;
    }
    const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    const auto kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
    if (facility == PA_SUBSCRIPTION_EVENT_SERVER) {
        self->requestDefaultCheck();
    } else if (facility == PA_SUBSCRIPTION_EVENT_SINK) {
        // A sink that comes or goes may move the default without a word from the server:
        // PipeWire names a stand-in sink the default until a real one appears, and says
        // nothing when it gives way. A change of the default itself may be its format.
        if (kind != PA_SUBSCRIPTION_EVENT_CHANGE || index == self->knownIndex_) {
            self->requestDefaultCheck();
        }
    } else if (facility == PA_SUBSCRIPTION_EVENT_SINK_INPUT) {
        // Some servers tell of a new stream before it is linked to a sink, and link it
        // to the default sink in a change that follows: both are looked at.
        if (kind != PA_SUBSCRIPTION_EVENT_REMOVE && self->mute_.routing()) {
            if (pa_operation* operation = pa_context_get_sink_input_info(self->loop_.context(),
                                                                         index, onNewInput, self)) {
                pa_operation_unref(operation);
            }
        }
        self->requestPlayingCheck();
    }
}

void DefaultSinkFollower::onNewInput(pa_context*, const pa_sink_input_info* info, int eol,
                                     void* userdata) {
    const auto* self = static_cast<DefaultSinkFollower*>(userdata);
    if (eol != 0 || info == nullptr || !self->mute_.routing() || info->sink != self->knownIndex_) {
        return;
    }
    self->mute_.take(info->index);
}

// Every stream on the default sink goes to the mute sink: onNewInput picks them out.
void DefaultSinkFollower::takeInputsOfDefault() {
    if (pa_operation* operation =
            pa_context_get_sink_input_info_list(loop_.context(), onNewInput, this)) {
        pa_operation_unref(operation);
    }
}

std::uint32_t DefaultSinkFollower::capturedSink() const {
    return mute_.muted() ? mute_.sinkIndex() : knownIndex_;
}

// The captured sink is "running" while a stream plays into it.
void DefaultSinkFollower::requestPlayingCheck() {
    if (pa_operation* operation =
            pa_context_get_sink_input_info_list(loop_.context(), onInputForPlaying, this)) {
        pa_operation_unref(operation);
    }
}

void DefaultSinkFollower::onInputForPlaying(pa_context*, const pa_sink_input_info* info, int eol,
                                            void* userdata) {
    auto* self = static_cast<DefaultSinkFollower*>(userdata);
    if (eol == 0 && info != nullptr) {
        self->playingSeen_ =
            self->playingSeen_ || (info->sink == self->capturedSink() && info->corked == 0);
        return;
    }
    self->setPlaying(self->playingSeen_);
    self->playingSeen_ = false;
}

void DefaultSinkFollower::setPlaying(bool playing) {
    std::lock_guard lock(deviceMutex_);
    if (device_) {
        device_->running = playing;
    }
}

void DefaultSinkFollower::refreshPlaying() {
    if (auto inputs = loop_.sinkInputs(config_.timeout)) {
        setPlaying(PulseLoop::playsInto(*inputs, capturedSink()));
    }
}

void DefaultSinkFollower::checkDefault() {
    if (watching_) {
        requestDefaultCheck();
    }
}

void DefaultSinkFollower::requestDefaultCheck() {
    if (held_) {
        recheckPending_ = true;
        return;
    }
    if (pa_operation* operation = pa_context_get_server_info(loop_.context(), onServerInfo, this)) {
        pa_operation_unref(operation);
    }
}

void DefaultSinkFollower::onServerInfo(pa_context* context, const pa_server_info* info,
                                       void* userdata) {
    if (info == nullptr || info->default_sink_name == nullptr) {
        return;
    }
    if (pa_operation* operation = pa_context_get_sink_info_by_name(context, info->default_sink_name,
                                                                   onDefaultSink, userdata)) {
        pa_operation_unref(operation);
    }
}

void DefaultSinkFollower::onDefaultSink(pa_context*, const pa_sink_info* info, int eol,
                                        void* userdata) {
    if (eol != 0 || info == nullptr) {
        return;
    }
    static_cast<DefaultSinkFollower*>(userdata)->follow(PulseLoop::detailsOf(*info));
}

// The stream keeps capturing whatever the default sink plays, or the tap mute's sink while
// muted. Some servers move a monitor stream along with the default sink, others leave it
// where it was; either way it ends up on the new default's monitor, reopened when the
// channel count changed. Where the server moved it to another sink's monitor than the
// default this connection sees, the view is put in doubt rather than fought over.
void DefaultSinkFollower::follow(const PulseLoop::SinkDetails& details) {
    const bool newDefault = details.device.index != knownIndex_;
    remember(details);
    if (newDefault) {
        requestPlayingCheck();
    }
    // A default that changed while events were held is still new once they are let go.
    defaultMoved_ = defaultMoved_ || newDefault;
    if (held_) {
        recheckPending_ = true;
        return;
    }
    const bool moved = std::exchange(defaultMoved_, false);
    if (!stream_.exists() || !watching_) {
        return;
    }
    if (mute_.muted()) {
        // What plays on a new default sink is kept off it too, and captured: the mute
        // follows the default as the capture does. A sound server that starts again may
        // name its default only after the capture is back on it.
        if (moved && mute_.routing()) {
            takeInputsOfDefault();
        }
        // Back where the muted audio is, in the format it had: nothing to tell.
        if (stream_.source() != mute_.sink().device.monitorSource) {
            stream_.reopen(mute_.sink(), std::nullopt);
        }
        return;
    }
    const auto change = stream_.strayFrom(details);
    if (!change) {
        return;
    }
    const bool elsewhere = *change == PulseCapture::Change::defaultSinkChanged &&
                           stream_.movedByServer() && stream_.source().ends_with(".monitor");
    if (elsewhere && onDoubt_) {
        onDoubt_();
        return;
    }
    stream_.reopen(details, *change);
}

}  // namespace zoranth
