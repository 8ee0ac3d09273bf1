#include "cli/tap_check_command.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <thread>

#include "host/capture/audio_capability.h"
#include "host/capture/capture_ring.h"
#include "host/capture/tap_session.h"
#include "host/checks/sandbox.h"
#include "host/host_log.h"
#include "host/wall_clock.h"
#include "kit/format_text.h"
#include "kit/pcm_convert.h"
#include "platform/pulse/pulse_output_device.h"

namespace zoranth {
namespace {

constexpr int framesPerChunk = 960;
constexpr float floorDb = -60.0f;
constexpr auto rowInterval = std::chrono::milliseconds(200);

void line(const std::string& text) {
    HostLog::line(text);
}

// The default output as the sound server reports it before capture starts. Its index is
// printed as it is: 0 is a valid sink index on this platform, so a failed read shows as
// "0, running=false" rather than being told apart by the id.
void printOutputDevice() {
    const auto device = PulseOutputDevice::queryDefault();
    const unsigned id = device ? device->index : 0;
    const bool running = device && device->running;
    line("default output device: " + std::to_string(id) +
         ", running=" + (running ? "true" : "false"));
}

long long expectedChunks(double seconds, double rate) {
    const double chunks = seconds * rate / framesPerChunk;
    return std::isfinite(chunks) && chunks > 0 ? static_cast<long long>(chunks) : 0;
}

}  // namespace

double TapCheckCommand::levelOf(std::span<const float> peaks, std::size_t channel) {
    return channel < peaks.size() ? PCMConvert::dbFS(peaks[channel], floorDb) : floorDb;
}

std::string TapCheckCommand::stateLabel(const SilenceWatchdog::Diagnosis& diagnosis) {
    return std::string(diagnosis.shortLabel());
}

std::string TapCheckCommand::row(double elapsed, const CapturePipeline::Stats& stats) {
    const std::string state = stateLabel(stats.diagnosis);
    return formatText("  %5.1fs  %7.1f  %7.1f  %7d  %5d  %8llu  %7d  %s", elapsed,
                      levelOf(stats.peak, 0), levelOf(stats.peak, 1),
                      static_cast<int>(stats.chunksProduced), static_cast<int>(stats.ringDepth),
                      static_cast<unsigned long long>(stats.ringOverruns),
                      static_cast<int>(stats.discontinuities), state.c_str());
}

TapCheckCommand::Verdict TapCheckCommand::judge(const SilenceWatchdog::Diagnosis& diagnosis) {
    const std::string seconds = formatText("%.1f", diagnosis.seconds);
    using Case = SilenceWatchdog::Diagnosis::Case;
    switch (diagnosis.kind) {
        case Case::receivingAudio:
            return {{"verdict:           audio is being captured"}, 0};
        case Case::idle:
            return {{"verdict:           receiving buffers, but they are silent (" + seconds + "s)",
                     "                   Capture is working. Play something and re-run."},
                    0};
        case Case::likelyDenied:
            return {{"verdict:           OUTPUT RUNNING BUT SILENT", "",
                     "Silent for " + seconds +
                         "s while a program was playing into the output being captured.",
                     AudioCapability::silenceWarning(diagnosis, false).value_or("")},
                    2};
        case Case::notCapturing:
            return {{"verdict:           NOT CAPTURING", "",
                     "The capture stream started and reported a valid format, but delivered "
                     "zero buffers in " +
                         seconds +
                         "s. The sound server feeds a monitor stream whether or not audio is "
                         "playing, so this is never normal -- it is not silence, it is a dead "
                         "capture path.",
                     AudioCapability::silenceWarning(diagnosis, false).value_or("")},
                    2};
    }
    return {{}, 2};
}

std::string TapCheckCommand::soundServerLine(
    const std::expected<PulseServerInfo, PulseError>& server) {
    if (!server) {
        return "sound server: none reachable (" + server.error().operation + ": " +
               server.error().text() + ")";
    }
    return "sound server: " + server->text() + " (\"" + server->name + "\" " + server->version +
           ")";
}

int TapCheckCommand::run(double seconds) {
    line("");
    line("=== tapcheck ===");
    line(soundServerLine(PulseServerInfo::query()));
    line("clock: CLOCK_MONOTONIC, nanoseconds");
    printOutputDevice();

    auto ring = CaptureRing::createStandard();
    if (!ring) {
        line("FAILED to allocate ring: " + std::string(ring.error().description()));
        return 1;
    }

    line("");
    line("starting capture of the default output's monitor");
    line("");

    auto session = TapSession::create();
    const auto tapFormat = session->start(*ring);
    if (!tapFormat) {
        line("");
        line("FAILED to start capture: " + TapSession::describe(tapFormat.error()));
        if (const Sandbox sandbox = Sandbox::detect(); sandbox.kind != Sandbox::Kind::none) {
            line("");
            line("Running inside a " + sandbox.label() +
                 " sandbox: if it keeps the sound server out, let it in with:");
            line("  " + sandbox.audioFix());
        }
        return 1;
    }
    line("tap format: " + tapFormat->text());
    line("device state: " + session->diagnostics());
    const std::uint32_t bufferFrames = session->bufferFrameSize();
    line(
        formatText("capture fragment: %u frames (%.1f ms) \u2014 note this is NOT the 960-frame "
                   "wire chunk",
                   bufferFrames, bufferFrames / tapFormat->sampleRate * 1000.0));

    const auto pipeline = CapturePipeline::create(*ring, *tapFormat, framesPerChunk);
    pipeline->setOutputRunning(TapSession::outputRunningOf(session));
    if (auto started = pipeline->start(); !started) {
        line("FAILED to start the pipeline: " + started.error().description());
        session->stop();
        return 1;
    }

    line("");
    line(formatText("capturing for %llds \u2014 play something to see levels move",
                    std::isfinite(seconds) ? static_cast<long long>(seconds) : 0LL));
    line("");
    line("   time   L dBFS   R dBFS   chunks   ring   overrun  discont  state");
    const double startedAt = WallClock::now();
    while (WallClock::now() - startedAt < seconds) {
        std::this_thread::sleep_for(rowInterval);
        line(row(WallClock::now() - startedAt, pipeline->stats()));
    }

    pipeline->stop();
    pipeline->assembler().flushPartialAsZeroPadded();
    pipeline->emitReadyChunks();
    const CapturePipeline::Stats stats = pipeline->stats();
    sr_ring* rawRing = (*ring)->pointer();
    const double rate = tapFormat->sampleRate;

    line("");
    line("=== tapcheck summary ===");
    line("read callbacks:    " + std::to_string(sr_ring_calls(rawRing)) +
         "   deliveries: " + std::to_string(sr_ring_writes(rawRing)));
    line("last callback saw: buffers=" + std::to_string(sr_ring_last_buffers(rawRing)) +
         " bytes=" + std::to_string(sr_ring_last_bytes(rawRing)) +
         " channels=" + std::to_string(sr_ring_last_channels(rawRing)));
    line("ring overruns:     " + std::to_string(sr_ring_overruns(rawRing)));
    line("chunks produced:   " + std::to_string(stats.chunksProduced) + " (expected roughly " +
         std::to_string(expectedChunks(seconds, rate)) + ")");
    line(formatText("audio captured:    %.3fs of %.3fs wall clock",
                    static_cast<double>(stats.framesProduced) / rate, seconds));
    line("ring overruns:     " + std::to_string(stats.ringOverruns) +
         (stats.ringOverruns == 0 ? "  (good)"
                                  : "  (BAD \u2014 the capture callback is being starved)"));
    line("discontinuities:   " + std::to_string(stats.discontinuities) +
         (stats.discontinuities == 0 ? "  (good)" : "  (BAD \u2014 timestamps jumped)"));

    const Verdict verdict = judge(stats.diagnosis);
    for (const std::string& text : verdict.lines) {
        line(text);
    }
    session->stop();
    return verdict.status;
}

}  // namespace zoranth
