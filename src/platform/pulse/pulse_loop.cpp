#include "platform/pulse/pulse_loop.h"

#include <pulse/rtclock.h>

namespace zoranth {
namespace {

void signalLoop(pa_threaded_mainloop* mainloop) {
    pa_threaded_mainloop_signal(mainloop, 0);
}

// The public loop interface takes wall-clock times, which the loop turns into its own
// monotonic ones when the timer is set: only the distance from now matters.
timeval wallclockAt(pa_usec_t at) {
    const pa_usec_t now = pa_rtclock_now();
    timeval when{};
    pa_gettimeofday(&when);
    if (at > now) {
        pa_timeval_add(&when, at - now);
    }
    return when;
}

}  // namespace

PulseLoop::PulseLoop(const char* threadName) {
    mainloop_ = pa_threaded_mainloop_new();
    if (mainloop_ == nullptr) {
        return;
    }
    pa_threaded_mainloop_set_name(mainloop_, threadName);
    started_ = pa_threaded_mainloop_start(mainloop_) == 0;
}

PulseLoop::~PulseLoop() {
    if (mainloop_ == nullptr) {
        return;
    }
    if (started_) {
        lock();
        disconnect();
        unlock();
        pa_threaded_mainloop_stop(mainloop_);
    } else {
        disconnect();
    }
    pa_threaded_mainloop_free(mainloop_);
}

PulseError PulseLoop::failure(int code, const char* operation) const {
    return PulseError{code == 0 ? PA_ERR_UNKNOWN : code, operation};
}

std::expected<void, PulseError> PulseLoop::connect(std::string_view clientName, Millis timeout,
                                                   const std::function<bool()>& abandon) {
    if (!started_) {
        return std::unexpected(failure(PA_ERR_INTERNAL, "pa_threaded_mainloop_start"));
    }
    if (context_ != nullptr) {
        return {};
    }
    pa_proplist* properties = pa_proplist_new();
    const std::string name(clientName);
    pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, name.c_str());
    pa_proplist_sets(properties, PA_PROP_APPLICATION_ID, "com.zoranth.host");
    context_ = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(mainloop_), name.c_str(),
                                            properties);
    pa_proplist_free(properties);
    if (context_ == nullptr) {
        return std::unexpected(failure(PA_ERR_INTERNAL, "pa_context_new"));
    }
    pa_context_set_state_callback(context_, onContextState, this);
    // Never spawn a server of our own: no server running is an answer the user must see.
    int result = 0;
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        result = pa_context_errno(context_);
    } else {
        result = waitUntil(
            [this, &abandon] {
                const pa_context_state_t state = pa_context_get_state(context_);
                return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state) ||
                       (abandon && abandon());
            },
            timeout);
        if (result == 0 && pa_context_get_state(context_) != PA_CONTEXT_READY) {
            result = PA_ERR_CONNECTIONTERMINATED;  // abandoned
        }
    }
    if (result != 0) {
        disconnect();
        return std::unexpected(failure(result, "pa_context_connect"));
    }
    ready_ = true;
    return {};
}

void PulseLoop::onContextState(pa_context* context, void* userdata) {
    auto* self = static_cast<PulseLoop*>(userdata);
    self->signal();
    if (!self->ready_ || PA_CONTEXT_IS_GOOD(pa_context_get_state(context))) {
        return;
    }
    self->ready_ = false;
    if (self->onLost_) {
        const int code = pa_context_errno(context);
        self->onLost_(code == 0 ? PA_ERR_CONNECTIONTERMINATED : code);
    }
}

void PulseLoop::disconnect() {
    if (context_ == nullptr) {
        return;
    }
    ready_ = false;
    pa_context_set_state_callback(context_, nullptr, nullptr);
    pa_context_set_subscribe_callback(context_, nullptr, nullptr);
    pa_context_disconnect(context_);
    pa_context_unref(context_);
    context_ = nullptr;
}

bool PulseLoop::inLoopThread() const {
    return mainloop_ != nullptr && pa_threaded_mainloop_in_thread(mainloop_) != 0;
}

bool PulseLoop::contextReady() const {
    return context_ != nullptr && pa_context_get_state(context_) == PA_CONTEXT_READY;
}

int PulseLoop::contextError() const {
    if (context_ == nullptr) {
        return PA_ERR_BADSTATE;
    }
    const int code = pa_context_errno(context_);
    return code == 0 ? PA_ERR_CONNECTIONTERMINATED : code;
}

void PulseLoop::lock() const {
    pa_threaded_mainloop_lock(mainloop_);
}
void PulseLoop::unlock() const {
    pa_threaded_mainloop_unlock(mainloop_);
}
void PulseLoop::signal() const {
    signalLoop(mainloop_);
}

pa_time_event* PulseLoop::newTimer(pa_usec_t at, pa_time_event_cb_t callback,
                                   void* userdata) const {
    timeval when = wallclockAt(at);
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(mainloop_);
    return api->time_new(api, &when, callback, userdata);
}

void PulseLoop::restartTimer(pa_time_event* timer, pa_usec_t at) const {
    const timeval when = wallclockAt(at);
    pa_threaded_mainloop_get_api(mainloop_)->time_restart(timer, &when);
}

void PulseLoop::freeTimer(pa_time_event* timer) const {
    pa_threaded_mainloop_get_api(mainloop_)->time_free(timer);
}

void PulseLoop::wait() const {
    pa_threaded_mainloop_wait(mainloop_);
}

bool PulseLoop::pause(Millis duration, const std::function<bool()>& interrupted) const {
    struct Alarm {
        const PulseLoop* loop;
        bool rang = false;
    } alarm{this};
    pa_time_event* timer = newTimer(
        pa_rtclock_now() + static_cast<pa_usec_t>(duration.count()) * PA_USEC_PER_MSEC,
        [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata) {
            auto* alarm = static_cast<Alarm*>(userdata);
            alarm->rang = true;
            alarm->loop->signal();
        },
        &alarm);
    bool wasInterrupted = false;
    while (!alarm.rang && timer != nullptr) {
        if (interrupted()) {
            wasInterrupted = true;
            break;
        }
        wait();
    }
    if (timer != nullptr) {
        freeTimer(timer);
    }
    return wasInterrupted;
}

int PulseLoop::waitUntil(const std::function<bool()>& done, Millis timeout) const {
    if (context_ == nullptr) {
        return PA_ERR_BADSTATE;
    }
    struct Deadline {
        pa_threaded_mainloop* mainloop;
        bool passed = false;
    } deadline{mainloop_};
    pa_time_event* timer = pa_context_rttime_new(
        context_, pa_rtclock_now() + static_cast<pa_usec_t>(timeout.count()) * PA_USEC_PER_MSEC,
        [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata) {
            auto* deadline = static_cast<Deadline*>(userdata);
            deadline->passed = true;
            signalLoop(deadline->mainloop);
        },
        &deadline);
    int result = 0;
    while (!done()) {
        if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context_))) {
            result = contextError();
            break;
        }
        if (deadline.passed) {
            result = PA_ERR_TIMEOUT;
            break;
        }
        pa_threaded_mainloop_wait(mainloop_);
    }
    if (timer != nullptr) {
        pa_threaded_mainloop_get_api(mainloop_)->time_free(timer);
    }
    if (result == 0 && !PA_CONTEXT_IS_GOOD(pa_context_get_state(context_))) {
        result = contextError();
    }
    return result;
}

int PulseLoop::await(pa_operation* operation, Millis timeout) const {
    if (operation == nullptr) {
        return contextError();
    }
    const int result = waitUntil(
        [operation] { return pa_operation_get_state(operation) != PA_OPERATION_RUNNING; }, timeout);
    if (pa_operation_get_state(operation) == PA_OPERATION_RUNNING) {
        // Cancelled requests never call back, so the caller's reply may go out of scope.
        pa_operation_cancel(operation);
    }
    pa_operation_unref(operation);
    return result;
}

bool PulseLoop::playsInto(const std::vector<SinkInput>& inputs, std::uint32_t sink) {
    for (const SinkInput& input : inputs) {
        if (input.sink == sink && !input.corked) {
            return true;
        }
    }
    return false;
}

PulseLoop::SinkDetails PulseLoop::detailsOf(const pa_sink_info& info) {
    SinkDetails details;
    details.device.index = info.index;
    details.device.name = info.name != nullptr ? info.name : "";
    details.device.description = info.description != nullptr ? info.description : "";
    details.device.rate = info.sample_spec.rate;
    details.device.channels = info.sample_spec.channels;
    details.device.muted = info.mute != 0;
    details.device.monitorSource =
        info.monitor_source_name != nullptr ? info.monitor_source_name : "";
    details.channelMap = info.channel_map;
    details.ownerModule = info.owner_module;
    return details;
}

std::expected<std::string, PulseError> PulseLoop::defaultSinkName(Millis timeout) const {
    return request<std::string>(
        "pa_context_get_server_info", timeout,
        [this](Reply<std::string>& reply) {
            return pa_context_get_server_info(
                context_,
                [](pa_context*, const pa_server_info* info, void* userdata) {
                    auto* reply = static_cast<Reply<std::string>*>(userdata);
                    if (info != nullptr && info->default_sink_name != nullptr &&
                        info->default_sink_name[0] != '\0') {
                        reply->value = info->default_sink_name;
                        reply->ok = true;
                    }
                    reply->finish();
                },
                &reply);
        },
        PA_ERR_NOENTITY);
}

std::expected<PulseLoop::SinkDetails, PulseError> PulseLoop::sinkByName(const std::string& name,
                                                                        Millis timeout) const {
    return request<SinkDetails>(
        "pa_context_get_sink_info_by_name", timeout,
        [this, &name](Reply<SinkDetails>& reply) {
            return pa_context_get_sink_info_by_name(
                context_, name.c_str(),
                [](pa_context*, const pa_sink_info* info, int eol, void* userdata) {
                    auto* reply = static_cast<Reply<SinkDetails>*>(userdata);
                    if (eol == 0 && info != nullptr) {
                        reply->value = detailsOf(*info);
                        reply->ok = true;
                    }
                    if (eol != 0) {
                        reply->finish();
                    }
                },
                &reply);
        },
        PA_ERR_NOENTITY);
}

std::expected<PulseLoop::SinkDetails, PulseError> PulseLoop::defaultSink(Millis timeout) const {
    auto name = defaultSinkName(timeout);
    if (!name) {
        return std::unexpected(name.error());
    }
    return sinkByName(*name, timeout);
}

std::expected<std::vector<PulseLoop::SinkDetails>, PulseError> PulseLoop::sinks(
    Millis timeout) const {
    using List = std::vector<SinkDetails>;
    return request<List>("pa_context_get_sink_info_list", timeout, [this](Reply<List>& reply) {
        return pa_context_get_sink_info_list(
            context_,
            [](pa_context*, const pa_sink_info* info, int eol, void* userdata) {
                auto* reply = static_cast<Reply<List>*>(userdata);
                if (eol == 0 && info != nullptr) {
                    reply->value.push_back(detailsOf(*info));
                }
                if (eol != 0) {
                    reply->ok = true;
                    reply->finish();
                }
            },
            &reply);
    });
}

std::expected<std::vector<PulseLoop::SinkInput>, PulseError> PulseLoop::sinkInputs(
    Millis timeout) const {
    using List = std::vector<SinkInput>;
    return request<List>(
        "pa_context_get_sink_input_info_list", timeout, [this](Reply<List>& reply) {
            return pa_context_get_sink_input_info_list(
                context_,
                [](pa_context*, const pa_sink_input_info* info, int eol, void* userdata) {
                    auto* reply = static_cast<Reply<List>*>(userdata);
                    if (eol == 0 && info != nullptr) {
                        reply->value.push_back(SinkInput{info->index, info->sink,
                                                         info->name != nullptr ? info->name : "",
                                                         info->corked != 0});
                    }
                    if (eol != 0) {
                        reply->ok = true;
                        reply->finish();
                    }
                },
                &reply);
        });
}

std::expected<void, PulseError> PulseLoop::moveSinkInput(std::uint32_t input, std::uint32_t sink,
                                                         Millis timeout) const {
    return requestDone("pa_context_move_sink_input_by_index", timeout, [&](Reply<Done>& reply) {
        return pa_context_move_sink_input_by_index(context_, input, sink, onSuccess<pa_context>,
                                                   &reply);
    });
}

std::expected<std::uint32_t, PulseError> PulseLoop::loadModule(const std::string& name,
                                                               const std::string& arguments,
                                                               Millis timeout) const {
    return request<std::uint32_t>(
        "pa_context_load_module", timeout, [&](Reply<std::uint32_t>& reply) {
            return pa_context_load_module(
                context_, name.c_str(), arguments.c_str(),
                [](pa_context*, std::uint32_t index, void* userdata) {
                    auto* reply = static_cast<Reply<std::uint32_t>*>(userdata);
                    reply->value = index;
                    reply->ok = index != PA_INVALID_INDEX;
                    reply->finish();
                },
                &reply);
        });
}

std::expected<void, PulseError> PulseLoop::unloadModule(std::uint32_t module,
                                                        Millis timeout) const {
    return requestDone("pa_context_unload_module", timeout, [&](Reply<Done>& reply) {
        return pa_context_unload_module(context_, module, onSuccess<pa_context>, &reply);
    });
}

std::expected<void, PulseError> PulseLoop::suspendSink(std::uint32_t sink, bool suspend,
                                                       Millis timeout) const {
    return requestDone("pa_context_suspend_sink_by_index", timeout, [&](Reply<Done>& reply) {
        return pa_context_suspend_sink_by_index(context_, sink, suspend ? 1 : 0,
                                                onSuccess<pa_context>, &reply);
    });
}

std::expected<void, PulseError> PulseLoop::setSinkMute(std::uint32_t sink, bool muted,
                                                       Millis timeout) const {
    return requestDone("pa_context_set_sink_mute_by_index", timeout, [&](Reply<Done>& reply) {
        return pa_context_set_sink_mute_by_index(context_, sink, muted ? 1 : 0,
                                                 onSuccess<pa_context>, &reply);
    });
}

}  // namespace zoranth
