#include "cli/record_command.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <new>
#include <optional>
#include <random>
#include <thread>

#include "cli/capture_start.h"
#include "host/capture/tap_session.h"
#include "host/host_log.h"
#include "host/wall_clock.h"
#include "kit/format_text.h"
#include "kit/pcm_convert.h"

namespace zoranth {
namespace {

constexpr int framesPerChunk = 960;
constexpr float floorDb = -60.0f;
constexpr double driftLimitMsPerSecond = 1.0;

void line(const std::string& text) {
    HostLog::line(text);
}

double levelOf(std::span<const float> peaks, std::size_t channel) {
    return channel < peaks.size() ? PCMConvert::dbFS(peaks[channel], floorDb) : floorDb;
}

// One busy thread per processor, each drawing random numbers until cancelled, so that the
// capture path has to hold its own against a loaded machine.
class CpuStress {
  public:
    explicit CpuStress(unsigned threads) {
        for (unsigned i = 0; i < threads; ++i) {
            threads_.emplace_back([this, seed = i] {
                std::minstd_rand random(seed + 1);
                std::uint32_t sink = 0;
                while (!cancelled_.load(std::memory_order_relaxed)) {
                    for (int n = 0; n < 1000; ++n) {
                        sink ^= static_cast<std::uint32_t>(random());
                    }
                }
                drawn_.fetch_xor(sink, std::memory_order_relaxed);
            });
        }
    }
    ~CpuStress() { cancel(); }
    CpuStress(const CpuStress&) = delete;
    CpuStress& operator=(const CpuStress&) = delete;

    void cancel() {
        cancelled_.store(true, std::memory_order_relaxed);
        for (auto& thread : threads_) {
            if (thread.joinable()) {
                thread.join();
            }
        }
    }

  private:
    std::atomic<bool> cancelled_{false};
    std::atomic<std::uint32_t> drawn_{0};  // keeps the work from being optimised away
    std::vector<std::thread> threads_;
};

// How far the capture stands behind the wall clock: the smallest, over several deliveries,
// of (time the frames were taken − frames delivered so far ÷ rate). Frames are never taken
// before they were made, only late (a stall, a backlog, this thread held up), so the
// smallest reading is where the capture really stands, and two readings taken seconds apart
// tell whether frames went missing (or appeared) in between, however busy the machine.
class CaptureOffset {
  public:
    static constexpr int deliveries = 20;

    // Reads `deliveries` arrivals (or as many as come within a quarter of a second each).
    // `take` consumes what has arrived and returns its frames; `frames` is the count of frames
    // delivered before the first of them.
    template <typename Take>
    static CaptureOffset measure(sr_ring* ring, double rate, std::int64_t frames, Take take) {
        CaptureOffset offset;
        for (int i = 0; i < deliveries; ++i) {
            if (!awaitDelivery(ring)) {
                break;
            }
            frames += take();
            // Read after taking: every frame counted had arrived by then.
            const double reading = WallClock::now() - static_cast<double>(frames) / rate;
            offset.earliest_ = std::min(offset.earliest_.value_or(reading), reading);
        }
        offset.frames_ = frames;
        if (!offset.earliest_) {
            offset.earliest_ = WallClock::now() - static_cast<double>(frames) / rate;
        }
        return offset;
    }

    double seconds() const { return *earliest_; }
    // Frames delivered up to the last reading.
    std::int64_t frames() const { return frames_; }

  private:
    // Waits for the next delivery to reach the ring; false when none comes in time.
    static bool awaitDelivery(sr_ring* ring) {
        using namespace std::chrono_literals;
        const std::uint64_t before = sr_ring_writes(ring);
        const double giveUpAt = WallClock::now() + 0.25;
        while (sr_ring_writes(ring) == before) {
            if (WallClock::now() > giveUpAt) {
                return false;
            }
            std::this_thread::sleep_for(100us);
        }
        return true;
    }

    std::optional<double> earliest_;
    std::int64_t frames_ = 0;
};

// Only while no pipeline drains the ring; returns the frames thrown away.
std::int64_t discardSlots(sr_ring* ring) {
    std::int64_t frames = 0;
    while (const sr_slot* slot = sr_ring_begin_read(ring)) {
        frames += slot->frames;
        sr_ring_commit_read(ring);
    }
    return frames;
}

unsigned activeProcessors() {
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<unsigned>(online) : 1;
}

}  // namespace

std::string RecordCommand::Failure::description() const {
    switch (kind) {
        case Case::fileNotOpened:
            return reason;
        case Case::formatUnavailable:
            return std::string(HostError{HostError::Case::tapFormatUnavailable}.description());
    }
    return "unknown failure";
}

std::expected<std::shared_ptr<RecordCommand>, RecordCommand::Failure> RecordCommand::create(
    const std::string& path, const TapFormat& format) {
    SF_INFO info{};
    info.samplerate = format.sampleRate > 0 && format.sampleRate < 1e9
                          ? static_cast<int>(std::lround(format.sampleRate))
                          : 0;
    info.channels = format.channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16 | SF_ENDIAN_FILE;
    if (info.samplerate <= 0 || info.channels <= 0 || !sf_format_check(&info)) {
        return std::unexpected(Failure{Failure::Case::formatUnavailable, {}});
    }
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (file == nullptr) {
        return std::unexpected(Failure{Failure::Case::fileNotOpened, sf_strerror(nullptr)});
    }
    // The samples arrive already converted; should floats ever be written, they clip
    // rather than wrap.
    sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    return std::make_shared<RecordCommand>(Key{}, file, format.channels);
}

RecordCommand::RecordCommand(Key, SNDFILE* file, int channels) : file_(file), channels_(channels) {}

RecordCommand::~RecordCommand() = default;

void RecordCommand::pipelineDidProduce(const TierFrames&, const ChunkAssembler::Chunk&,
                                       std::span<const float> pcm, std::uint64_t, std::uint64_t) {
    const std::size_t frames = pcm.size() / static_cast<std::size_t>(channels_);
    if (frames == 0) {
        return;
    }
    const std::size_t samples = frames * static_cast<std::size_t>(channels_);
    try {
        buffer_.resize(samples);
    } catch (const std::bad_alloc&) {
        return;
    }
    for (std::size_t i = 0; i < samples; ++i) {
        buffer_[i] = PCMConvert::f32ToI16(pcm[i]);
    }
    const sf_count_t written =
        sf_writef_short(file_.get(), buffer_.data(), static_cast<sf_count_t>(frames));
    std::lock_guard guard(lock_);
    if (written == static_cast<sf_count_t>(frames)) {
        framesWritten_ += static_cast<std::int64_t>(frames);
    } else {
        writeFailures_ += 1;
    }
}

std::int64_t RecordCommand::framesWritten() const {
    std::lock_guard guard(lock_);
    return framesWritten_;
}

std::int64_t RecordCommand::writeFailures() const {
    std::lock_guard guard(lock_);
    return writeFailures_;
}

std::string RecordCommand::row(double elapsed, const CapturePipeline::Stats& stats,
                               std::int64_t framesWritten) {
    return formatText(
        "  %4.0fs  %7.1f dBFS L  %7.1f dBFS R  %6lld frames  ring %2d  overrun %llu  "
        "discont %d",
        elapsed, levelOf(stats.peak, 0), levelOf(stats.peak, 1),
        static_cast<long long>(framesWritten), static_cast<int>(stats.ringDepth),
        static_cast<unsigned long long>(stats.ringOverruns),
        static_cast<int>(stats.discontinuities));
}

RecordCommand::Verdict RecordCommand::judge(const Outcome& outcome, const std::string& path) {
    const double audio = static_cast<double>(outcome.framesWritten) / outcome.sampleRate;
    const double captured = static_cast<double>(outcome.capturedFrames) / outcome.sampleRate;
    const double diffMs = (captured - outcome.wallSeconds) * 1000.0;
    const double driftMsPerSecond = diffMs / outcome.wallSeconds;

    Verdict verdict;
    auto& lines = verdict.lines;
    lines.emplace_back("");
    lines.emplace_back("=== record summary ===");
    lines.push_back(formatText("wall clock:        %.3fs", outcome.wallSeconds));
    lines.push_back(formatText("audio written:     %.3fs (%lld frames)", audio,
                               static_cast<long long>(outcome.framesWritten)));
    if (const std::int64_t padding = outcome.framesWritten - outcome.capturedFrames; padding > 0) {
        lines.push_back("zero padding:      " + std::to_string(padding) +
                        " frames of silence complete chunks (not compared)");
    }
    lines.push_back(
        formatText("difference:        %+.1fms (%+.2fms per second)", diffMs, driftMsPerSecond));
    lines.push_back("ring overruns:     " + std::to_string(outcome.ringOverruns));
    lines.push_back("discontinuities:   " + std::to_string(outcome.discontinuities));
    lines.push_back("write failures:    " + std::to_string(outcome.writeFailures));

    bool failed = false;
    if (std::abs(driftMsPerSecond) > driftLimitMsPerSecond) {
        lines.emplace_back("");
        lines.emplace_back(
            "FAIL: frames written diverge from wall clock by more than 1ms/s. Buffers are being "
            "dropped \u2014 check the IOProc for allocation, locking or logging.");
        failed = true;
    }
    if (outcome.ringOverruns > 0) {
        lines.emplace_back("FAIL: the ring overran, so the sender thread could not keep up.");
        failed = true;
    }
    if (outcome.discontinuities > 0) {
        lines.emplace_back("FAIL: timestamps jumped, so a delivery was lost.");
        failed = true;
    }
    if (outcome.writeFailures >= 1) {
        lines.push_back("FAIL: " + std::to_string(outcome.writeFailures) + " file writes failed.");
        failed = true;
    }
    if (!failed) {
        lines.emplace_back("");
        lines.push_back("PASS: realtime path is clean. Listen with: afplay " + path);
    }
    verdict.status = failed ? 1 : 0;
    return verdict;
}

int RecordCommand::run(const std::string& path, double seconds, bool stress) {
    line("");
    line("=== record -> " + path + " ===");

    auto capture = CaptureStart::begin();
    if (!capture) {
        return 1;
    }
    const auto& session = capture->session;
    const TapFormat& tapFormat = capture->format;
    line("aggregate IO buffer: " + std::to_string(session->bufferFrameSize()) + " frames");

    auto recorder = create(path, tapFormat);
    if (!recorder) {
        line("FAILED to open " + path + ": " + recorder.error().description());
        session->stop();
        return 1;
    }
    auto pipeline = CapturePipeline::create(capture->ring, tapFormat, framesPerChunk);
    pipeline->setSink(*recorder);
    pipeline->setOutputRunning(TapSession::outputRunningOf(session));

    std::optional<CpuStress> busy;
    if (stress) {
        const unsigned processors = activeProcessors();
        line("stress: spinning " + std::to_string(processors) + " busy threads to contend for CPU");
        busy.emplace(processors);
    }

    // The wall clock and the written audio start together: what capture delivered while it
    // was being set up is left out, and so are the deliveries that place the capture against
    // the wall clock; the first frame after them is the first one written.
    sr_ring* rawRing = capture->ring->pointer();
    const double rate = tapFormat.sampleRate;
    discardSlots(rawRing);
    const CaptureOffset before =
        CaptureOffset::measure(rawRing, rate, 0, [rawRing] { return discardSlots(rawRing); });
    const double startedAt = before.seconds() + static_cast<double>(before.frames()) / rate;
    if (auto started = pipeline->start(); !started) {
        line("FAILED to start the pipeline: " + started.error().description());
        busy.reset();
        session->stop();
        return 1;
    }
    while (WallClock::now() - startedAt < seconds) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        line(row(WallClock::now() - startedAt, pipeline->stats(), (*recorder)->framesWritten()));
    }

    // ...and end together: after the pipeline stops, everything captured while the capture
    // is placed against the wall clock once more is written too. The silence that completes
    // the last chunk is written, but it is no captured audio, so it is not compared.
    pipeline->stop();
    pipeline->drainRing();
    const CaptureOffset after =
        CaptureOffset::measure(rawRing, rate, before.frames() + pipeline->framesDrained(),
                               [&pipeline] { return pipeline->drainRing(); });
    const std::int64_t captured = after.frames() - before.frames();
    const double wall = after.seconds() + static_cast<double>(after.frames()) / rate - startedAt;
    pipeline->assembler().flushPartialAsZeroPadded();
    pipeline->emitReadyChunks();
    const CapturePipeline::Stats stats = pipeline->stats();

    const Verdict verdict =
        judge({wall, (*recorder)->framesWritten(), captured, rate, stats.ringOverruns,
               stats.discontinuities, (*recorder)->writeFailures()},
              path);
    for (const std::string& text : verdict.lines) {
        line(text);
    }
    busy.reset();
    session->stop();
    pipeline.reset();
    recorder->reset();  // closes the file
    return verdict.status;
}

}  // namespace zoranth
