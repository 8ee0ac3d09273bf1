#include "cli/tap_check_command.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <thread>

#include "host/capture/capture_ring.h"
#include "host/capture/tap_session.h"
#include "host/host_log.h"
#include "host/wall_clock.h"
#include "kit/format_text.h"
#include "kit/pcm_convert.h"
#include "platform/pulse/pulse_output_device.h"
#include "protocol/mach_clock.h"

namespace zoranth {
namespace {

constexpr int framesPerChunk = 960;
constexpr float floorDb = -60.0f;
constexpr auto rowInterval = std::chrono::milliseconds(200);

constexpr const char* grantAccess =
    "Open System Settings > Privacy & Security > Audio Recording and turn on Zoranth Host. "
    "Without it the rave runs but every guest hears silence. Then press Stop and Start again.";

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

std::string TapCheckCommand::row(double elapsed, const CapturePipeline::Stats& stats) {
    const std::string state(stats.diagnosis.shortLabel());
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
            return {{"verdict:           PERMISSION LIKELY DENIED", "",
                     "Silent for " + seconds + "s while this Mac was driving its output device.",
                     std::string("No audio is being captured even though this Mac is playing "
                                 "sound.\n\n") +
                         grantAccess},
                    2};
        case Case::notCapturing:
            return {{"verdict:           NOT CAPTURING", "",
                     "The tap started and reported a valid format, but delivered zero buffers "
                     "in " +
                         seconds +
                         "s. The IOProc runs on the device clock whether or not audio is "
                         "playing, so this is never normal -- it is not silence, it is a dead "
                         "capture path.",
                     std::string("Zoranth is not receiving any audio from this Mac.\n\nThe "
                                 "capture stream started but has delivered nothing, which "
                                 "almost always means system audio recording access is turned "
                                 "off.\n\n") +
                         grantAccess},
                    2};
    }
    return {{}, 2};
}

int TapCheckCommand::run(double seconds) {
    line("");
    line("=== tapcheck ===");
    line("bundle: none (running unbundled)");
    const MachClock::Timebase timebase = MachClock::timebaseRatio();
    line("mach timebase: " + std::to_string(timebase.numer) + "/" + std::to_string(timebase.denom));
    printOutputDevice();

    auto ring = CaptureRing::createStandard();
    if (!ring) {
        line("FAILED to allocate ring: " + std::string(ring.error().description()));
        return 1;
    }

    line("");
    line("starting capture \u2014 if this is the first run, macOS will show a");
    line("system-audio permission prompt now. Answer it: AudioDeviceStart");
    line("blocks until you do, and gives up after about two minutes.");
    line("");

    auto session = TapSession::create();
    const auto tapFormat = session->start(*ring);
    if (!tapFormat) {
        line("");
        line("FAILED to start capture: " + TapSession::describe(tapFormat.error()));
        line("");
        line("If this is a permission problem, the app must be launched as a");
        line("signed bundle (make run), not as a bare binary.");
        return 1;
    }
    line("tap format: " + tapFormat->text());
    line("device state: " + session->diagnostics());
    const std::uint32_t bufferFrames = session->bufferFrameSize();
    line(
        formatText("aggregate IO buffer: %u frames (%.1f ms) \u2014 note this is NOT the 960-frame "
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
    line("IOProc calls:      " + std::to_string(sr_ring_calls(rawRing)) +
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
         (stats.ringOverruns == 0 ? "  (good)" : "  (BAD \u2014 the IOProc is being starved)"));
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
