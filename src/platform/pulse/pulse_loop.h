// Inside the PulseAudio layer only (it includes the server library's headers): one
// threaded main loop with its context, and the blocking request helpers built on it.
// Every helper is called with the loop locked, from any thread but the loop's own.
#pragma once

#include <pulse/pulseaudio.h>

#include <chrono>
#include <cstdint>
#include <expected>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/pulse/pulse_error.h"
#include "platform/pulse/pulse_output_device.h"

namespace zoranth {

class PulseLoop {
  public:
    using Millis = std::chrono::milliseconds;

    // What the server says of one sink beyond the public view.
    struct SinkDetails {
        PulseOutputDevice device;
        pa_channel_map channelMap{};
        std::uint32_t ownerModule = PA_INVALID_INDEX;
    };

    struct SinkInput {
        std::uint32_t index = 0;
        std::uint32_t sink = 0;
        std::string name;
        bool corked = false;
    };

    // Whether anything plays into `sink`: an uncorked stream on it. The sink's own state
    // is no guide, as some servers call a sink running while only its monitor is read.
    static bool playsInto(const std::vector<SinkInput>& inputs, std::uint32_t sink);

    // Holds the loop's lock for a scope.
    class Guard {
      public:
        explicit Guard(const PulseLoop& loop) : loop_(loop) { loop_.lock(); }
        ~Guard() { loop_.unlock(); }
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;

      private:
        const PulseLoop& loop_;
    };

    // Creates the loop and starts its thread, named `threadName`.
    explicit PulseLoop(const char* threadName);
    ~PulseLoop();
    PulseLoop(const PulseLoop&) = delete;
    PulseLoop& operator=(const PulseLoop&) = delete;

    // Lock held: connects a context for `clientName` to the default server (honouring
    // PULSE_SERVER) and waits until it is ready, or until `abandon()` holds (checked
    // whenever the loop wakes). Already connected: nothing to do.
    std::expected<void, PulseError> connect(std::string_view clientName, Millis timeout,
                                            const std::function<bool()>& abandon = {});

    // Disconnects the context, which cancels every request still on its way. Lock held.
    void disconnect();

    // Called on the loop's thread, with the server's error code, when a context that was
    // ready fails or is terminated by the server (never for disconnect()). Set it before
    // connecting.
    void setOnLost(std::function<void(int code)> onLost) { onLost_ = std::move(onLost); }

    bool started() const { return started_; }
    pa_context* context() const { return context_; }
    pa_threaded_mainloop* mainloop() const { return mainloop_; }
    bool inLoopThread() const;
    bool contextReady() const;
    int contextError() const;
    void lock() const;
    void unlock() const;
    void signal() const;

    // Lock held: a timer on the loop's thread at `at` (pa_rtclock_now's clock). Timers belong
    // to the loop, not to the context: they outlive a lost connection.
    pa_time_event* newTimer(pa_usec_t at, pa_time_event_cb_t callback, void* userdata) const;
    void restartTimer(pa_time_event* timer, pa_usec_t at) const;
    void freeTimer(pa_time_event* timer) const;

    // Lock held: waits until the loop is signalled (or wakes for another reason).
    void wait() const;
    // Lock held: waits for `duration`, or less when `interrupted()` holds once the loop
    // wakes. Needs no context. Returns whether it was interrupted.
    bool pause(Millis duration, const std::function<bool()>& interrupted) const;

    // Lock held: waits until `done()` holds, the timeout passes or the context dies.
    // Returns 0, PA_ERR_TIMEOUT or the context's error.
    int waitUntil(const std::function<bool()>& done, Millis timeout) const;

    // Lock held: waits for a request to finish and releases it. Returns as waitUntil does;
    // a request the context refused to start gives the context's error.
    int await(pa_operation* operation, Millis timeout) const;

    // What a request's callbacks fill on the loop thread for the caller waiting on it; they
    // call finish() once the answer is complete.
    template <typename T>
    struct Reply {
        pa_threaded_mainloop* mainloop;
        T value{};
        bool ok = false;
        void finish() const { pa_threaded_mainloop_signal(mainloop, 0); }
    };
    // The answer of a request that only succeeds or fails.
    struct Done {};

    // A success callback for requests on any object (context, stream) with a Reply<Done>.
    template <typename Object>
    static void onSuccess(Object*, int success, void* userdata) {
        auto* reply = static_cast<Reply<Done>*>(userdata);
        reply->ok = success != 0;
        reply->finish();
    }

    // Lock held: issues one request, `issue(reply)` returning its operation, and waits for
    // it. Fails as `what` with the waiting's error (timeout, a dead context), and with
    // `refusal` (the context's own error when 0) when the reply came back without ok.
    template <typename T, typename Issue>
    std::expected<T, PulseError> request(const char* what, Millis timeout, Issue&& issue,
                                         int refusal = 0) const {
        if (context_ == nullptr) {
            return std::unexpected(failure(PA_ERR_BADSTATE, what));
        }
        Reply<T> reply{mainloop_};
        if (const int result = await(issue(reply), timeout); result != 0) {
            return std::unexpected(failure(result, what));
        }
        if (!reply.ok) {
            return std::unexpected(
                failure(refusal != 0 ? refusal : pa_context_errno(context_), what));
        }
        return std::move(reply.value);
    }

    // The same for a request answered by onSuccess.
    template <typename Issue>
    std::expected<void, PulseError> requestDone(const char* what, Millis timeout,
                                                Issue&& issue) const {
        auto done = request<Done>(what, timeout, std::forward<Issue>(issue));
        if (!done) {
            return std::unexpected(done.error());
        }
        return {};
    }

    // Blocking requests, lock held, each failing with the call that failed.
    std::expected<std::string, PulseError> defaultSinkName(Millis timeout) const;
    std::expected<SinkDetails, PulseError> sinkByName(const std::string& name,
                                                      Millis timeout) const;
    std::expected<SinkDetails, PulseError> defaultSink(Millis timeout) const;
    std::expected<std::vector<SinkDetails>, PulseError> sinks(Millis timeout) const;
    std::expected<std::vector<SinkInput>, PulseError> sinkInputs(Millis timeout) const;
    std::expected<void, PulseError> moveSinkInput(std::uint32_t input, std::uint32_t sink,
                                                  Millis timeout) const;
    std::expected<std::uint32_t, PulseError> loadModule(const std::string& name,
                                                        const std::string& arguments,
                                                        Millis timeout) const;
    std::expected<void, PulseError> unloadModule(std::uint32_t module, Millis timeout) const;
    std::expected<void, PulseError> suspendSink(std::uint32_t sink, bool suspend,
                                                Millis timeout) const;
    std::expected<void, PulseError> setSinkMute(std::uint32_t sink, bool muted,
                                                Millis timeout) const;

    // Turns a sink as the server describes it into the layer's view of it.
    static SinkDetails detailsOf(const pa_sink_info& info);

  private:
    PulseError failure(int code, const char* operation) const;

    static void onContextState(pa_context* context, void* userdata);

    pa_threaded_mainloop* mainloop_ = nullptr;
    pa_context* context_ = nullptr;
    bool started_ = false;
    bool ready_ = false;  // the context reached the ready state
    std::function<void(int)> onLost_;
};

}  // namespace zoranth
