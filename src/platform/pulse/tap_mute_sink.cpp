#include "platform/pulse/tap_mute_sink.h"

#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <optional>
#include <string_view>

namespace zoranth {
namespace {

// Mute sinks are named after the process that loaded them, so a host that starts after a
// crash can tell its predecessor's leftovers from another running host's.
constexpr std::string_view muteSinkPrefix = "zoranth_tap_mute_";

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

TapMuteSink::TapMuteSink(const PulseLoop& loop, const PulseCapture::Config& config)
    : loop_(loop), config_(config) {
    forget();
}

void TapMuteSink::unloadStale() {
    auto sinks = loop_.sinks(config_.timeout);
    if (!sinks) {
        return;
    }
    for (const PulseLoop::SinkDetails& sink : *sinks) {
        const auto owner = muteSinkOwner(sink.device.name);
        if (owner && *owner != getpid() && processIsGone(*owner) &&
            sink.ownerModule != PA_INVALID_INDEX) {
            (void)loop_.unloadModule(sink.ownerModule, config_.timeout);
        }
    }
}

std::expected<PulseCapture::MuteReport, PulseError> TapMuteSink::mute(
    CaptureStream& stream, const PulseLoop::SinkDetails& defaultSink) {
    const std::uint32_t channels = stream.channels();
    char mapText[PA_CHANNEL_MAP_SNPRINT_MAX];
    const pa_channel_map map = stream.channelMap();
    pa_channel_map_snprint(mapText, sizeof mapText, &map);
    const std::string name =
        std::string(muteSinkPrefix) + std::to_string(getpid()) + "_" + std::to_string(++count_);
    const std::string arguments = "sink_name=" + name + " rate=" + std::to_string(config_.rate) +
                                  " channels=" + std::to_string(channels) +
                                  " channel_map=" + mapText +
                                  " sink_properties='device.description=\"Zoranth Tap Mute\"'";
    auto module = loop_.loadModule("module-null-sink", arguments, config_.timeout);
    if (!module) {
        return std::unexpected(module.error());
    }
    auto muteSink = loop_.sinkByName(name, config_.timeout);
    if (!muteSink) {
        (void)loop_.unloadModule(*module, config_.timeout);
        return std::unexpected(muteSink.error());
    }
    // A fresh null sink renders far ahead of time until someone asks for low latency, and
    // its monitor stays quiet until the clock catches up. Holding it suspended until the
    // capture is connected restarts it on time with the capture's latency.
    (void)loop_.suspendSink(muteSink->device.index, true, config_.timeout);
    auto opened = stream.open(*muteSink);
    (void)loop_.suspendSink(muteSink->device.index, false, config_.timeout);
    if (!opened) {
        (void)loop_.unloadModule(*module, config_.timeout);
        return std::unexpected(opened.error());
    }
    muted_ = true;
    module_ = *module;
    sink_ = *muteSink;
    sinkName_ = name;
    routeNewInputs_ = true;

    const auto moved = moveInputs(defaultSink.device.index, sinkIndex());
    if (!moved) {
        (void)unmute(stream, defaultSink, true);
        return std::unexpected(moved.error());
    }
    return PulseCapture::MuteReport{name, *moved};
}

std::expected<PulseCapture::MuteReport, PulseError> TapMuteSink::reapply(
    CaptureStream& stream, const PulseLoop::SinkDetails& defaultSink) {
    if (!sinkName_.empty()) {
        if (auto kept = loop_.sinkByName(sinkName_, config_.timeout)) {
            auto opened = stream.open(*kept);
            if (!opened) {
                forget();
                return std::unexpected(opened.error());
            }
            module_ = kept->ownerModule;
            sink_ = *kept;
            routeNewInputs_ = true;
            return PulseCapture::MuteReport{
                sinkName_, moveInputs(defaultSink.device.index, sinkIndex()).value_or(0)};
        }
    }
    forget();
    return mute(stream, defaultSink);
}

// A stream may end or refuse to move meanwhile; the rest still move.
std::expected<std::uint32_t, PulseError> TapMuteSink::moveInputs(std::uint32_t from,
                                                                 std::uint32_t to) const {
    auto inputs = loop_.sinkInputs(config_.timeout);
    if (!inputs) {
        return std::unexpected(inputs.error());
    }
    std::uint32_t moved = 0;
    for (const PulseLoop::SinkInput& input : *inputs) {
        if (input.sink == from && loop_.moveSinkInput(input.index, to, config_.timeout)) {
            ++moved;
        }
    }
    return moved;
}

std::expected<TapMuteSink::Unmuted, PulseError> TapMuteSink::unmute(
    CaptureStream& stream, const std::expected<PulseLoop::SinkDetails, PulseError>& defaultSink,
    bool reopen) {
    routeNewInputs_ = false;
    Unmuted unmuted{PulseCapture::MuteReport{sinkName_, 0}, false};
    if (defaultSink) {
        unmuted.report.movedInputs = moveInputs(sinkIndex(), defaultSink->device.index).value_or(0);
    }
    std::expected<void, PulseError> reopened;
    if (defaultSink && stream.exists() && reopen) {
        unmuted.reshaped =
            std::min(defaultSink->device.channels, config_.maxChannels) != stream.channels();
        reopened = stream.open(*defaultSink);
    }
    // Unloading the null sink hands whatever still plays on it back to the default sink.
    auto unloaded = loop_.unloadModule(module_, config_.timeout);
    forget();
    if (!defaultSink) {
        return std::unexpected(defaultSink.error());
    }
    if (!reopened) {
        return std::unexpected(reopened.error());
    }
    if (!unloaded) {
        return std::unexpected(unloaded.error());
    }
    return unmuted;
}

void TapMuteSink::forget() {
    muted_ = false;
    routeNewInputs_ = false;
    module_ = PA_INVALID_INDEX;
    sink_ = PulseLoop::SinkDetails{};
    sink_.device.index = PA_INVALID_INDEX;
    sinkName_.clear();
}

void TapMuteSink::take(std::uint32_t input) const {
    if (pa_operation* operation = pa_context_move_sink_input_by_index(
            loop_.context(), input, sinkIndex(), nullptr, nullptr)) {
        pa_operation_unref(operation);
    }
}

}  // namespace zoranth
