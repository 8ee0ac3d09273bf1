// Tap-check mode: proves that capturing the system audio works, without any network. It
// prints the environment, runs a tap session and a pipeline without a sink, prints live
// levels five times a second, then a summary and a verdict. Runs on the process's main thread.
#pragma once

#include <span>
#include <string>

#include <expected>

#include "host/capture/capture_pipeline.h"
#include "platform/pulse/pulse_server_info.h"

namespace zoranth {

struct TapCheckCommand {
    TapCheckCommand() = delete;

    // 0 when audio or silence is being captured, 2 when nothing or only suspicious silence
    // arrives, 1 when the ring, the capture or the pipeline could not be set up.
    static int run(double seconds);

    // One live row: time, left and right peak in dBFS, chunks, ring depth, overruns,
    // discontinuities and the diagnosis' short label.
    static std::string row(double elapsed, const CapturePipeline::Stats& stats);

    // The state column: "idle", "NO DATA", "SILENT?" or "audio".
    static std::string stateLabel(const SilenceWatchdog::Diagnosis& diagnosis);

    // "sound server: PipeWire 0.3.65 ("PulseAudio (on PipeWire 0.3.65)" 15.0.0)", or why
    // none could be reached.
    static std::string soundServerLine(const std::expected<PulseServerInfo, PulseError>& server);

    // 20 log10 of a channel's peak, never below −60; −60 for a channel the list lacks.
    static double levelOf(std::span<const float> peaks, std::size_t channel);

    // The verdict's lines and the exit status for a final diagnosis.
    struct Verdict {
        std::vector<std::string> lines;
        int status = 0;
    };
    static Verdict judge(const SilenceWatchdog::Diagnosis& diagnosis);
};

}  // namespace zoranth
