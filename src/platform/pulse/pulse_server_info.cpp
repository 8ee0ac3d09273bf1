#include "platform/pulse/pulse_server_info.h"

#include "platform/pulse/pulse_loop.h"

namespace zoranth {
namespace {

constexpr std::string_view pipeWireMarker = "on PipeWire ";

struct Reply {
    pa_threaded_mainloop* mainloop;
    PulseServerInfo info;
    bool answered = false;
};

}  // namespace

bool PulseServerInfo::isPipeWire() const {
    return name.find(pipeWireMarker) != std::string::npos;
}

std::string PulseServerInfo::text() const {
    if (const std::size_t at = name.find(pipeWireMarker); at != std::string::npos) {
        std::string pipeWire = name.substr(at + pipeWireMarker.size());
        pipeWire = pipeWire.substr(0, pipeWire.find(')'));
        return "PipeWire " + pipeWire;
    }
    if (name == "pulseaudio") {
        return "PulseAudio " + version;
    }
    return version.empty() ? name : name + " " + version;
}

std::expected<PulseServerInfo, PulseError> PulseServerInfo::query(
    std::chrono::milliseconds timeout) {
    PulseLoop loop("zoranth-pulse-info");
    if (!loop.started()) {
        return std::unexpected(PulseError{PA_ERR_INTERNAL, "pa_threaded_mainloop_start"});
    }
    // The loop thread runs from here on: every context call, the connect included,
    // holds its lock, or the loop's wait releases a lock this thread never took.
    PulseLoop::Guard guard(loop);
    if (auto connected = loop.connect("Zoranth Host", timeout); !connected) {
        return std::unexpected(connected.error());
    }
    Reply reply{loop.mainloop(), {}, false};
    pa_operation* operation = pa_context_get_server_info(
        loop.context(),
        [](pa_context*, const pa_server_info* info, void* userdata) {
            auto* reply = static_cast<Reply*>(userdata);
            if (info != nullptr) {
                reply->info.name = info->server_name ? info->server_name : "";
                reply->info.version = info->server_version ? info->server_version : "";
                reply->answered = true;
            }
            pa_threaded_mainloop_signal(reply->mainloop, 0);
        },
        &reply);
    if (const int result = loop.await(operation, timeout); result != 0) {
        return std::unexpected(PulseError{result, "pa_context_get_server_info"});
    }
    if (!reply.answered) {
        return std::unexpected(PulseError{PA_ERR_NOENTITY, "pa_context_get_server_info"});
    }
    return reply.info;
}

}  // namespace zoranth
