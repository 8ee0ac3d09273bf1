#include "cli/record_command.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <new>
#include <random>
#include <thread>

#include "host/capture/capture_ring.h"
#include "host/capture/tap_session.h"
#include "host/host_log.h"
#include "host/wall_clock.h"
#include "kit/pcm_convert.h"

namespace zoranth {
namespace {

constexpr int framesPerChunk = 960;
constexpr float floorDb = -60.0f;
constexpr double driftLimitMsPerSecond = 1.0;

void line(const std::string& text) { HostLog::line(text); }

template <typename... Values>
std::string format(const char* pattern, Values... values) {
    char text[512];
    std::snprintf(text, sizeof text, pattern, values...);
    return text;
}

double levelOf(std::span<const float> peaks, std::size_t channel) {
    return channel < peaks.size() ? PCMConvert::dbFS(peaks[channel], floorDb) : floorDb;
}

std::function<bool()> outputRunningOf(const std::shared_ptr<TapSession>& session) {
    return [weak = std::weak_ptr(session)] {
        const auto session = weak.lock();
        if (!session) {
            return false;
        }
        const auto device = session->outputDevice();
        return device && device->running;
    };
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

// The moment a capture delivery arrived, and the slots waiting in the ring then.
struct DeliveryMark {
    double seconds = 0;
    std::uint32_t waitingSlots = 0;
};

// Waits (a quarter of a second at most) for the next delivery. A server read that is split
// into several deliveries lands within microseconds, so the mark is taken a moment later,
// once all its parts are in.
DeliveryMark awaitDelivery(sr_ring* ring) {
    using namespace std::chrono_literals;
    const std::uint64_t before = sr_ring_writes(ring);
    const double giveUpAt = WallClock::now() + 0.25;
    while (sr_ring_writes(ring) == before && WallClock::now() < giveUpAt) {
        std::this_thread::sleep_for(100us);
    }
    std::this_thread::sleep_for(1ms);
    const double seconds = WallClock::now();
    return {seconds, sr_ring_depth(ring)};
}

// Only while no pipeline drains the ring.
void discardSlots(sr_ring* ring, std::uint32_t count) {
    for (std::uint32_t i = 0; i < count && sr_ring_begin_read(ring) != nullptr; ++i) {
        sr_ring_commit_read(ring);
    }
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

RecordCommand::RecordCommand(Key, SNDFILE* file, int channels)
    : file_(file), channels_(channels) {}

RecordCommand::~RecordCommand() = default;

void RecordCommand::pipelineDidProduce(CapturePipeline::Packets&, const ChunkAssembler::Chunk&,
                                       std::span<const float> pcm, std::uint64_t,
                                       std::uint64_t) {
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
    return format("  %4.0fs  %7.1f dBFS L  %7.1f dBFS R  %6lld frames  ring %2d  overrun %llu  "
                  "discont %d",
                  elapsed, levelOf(stats.peak, 0), levelOf(stats.peak, 1),
                  static_cast<long long>(framesWritten), static_cast<int>(stats.ringDepth),
                  static_cast<unsigned long long>(stats.ringOverruns),
                  static_cast<int>(stats.discontinuities));
}

RecordCommand::Verdict RecordCommand::judge(const Outcome& outcome, const std::string& path) {
    const double audio = static_cast<double>(outcome.framesWritten) / outcome.sampleRate;
    const double captured =
        static_cast<double>(outcome.framesWritten - outcome.paddingFrames) / outcome.sampleRate;
    const double diffMs = (captured - outcome.wallSeconds) * 1000.0;
    const double driftMsPerSecond = diffMs / outcome.wallSeconds;

    Verdict verdict;
    auto& lines = verdict.lines;
    lines.emplace_back("");
    lines.emplace_back("=== record summary ===");
    lines.push_back(format("wall clock:        %.3fs", outcome.wallSeconds));
    lines.push_back(format("audio written:     %.3fs (%lld frames)", audio,
                           static_cast<long long>(outcome.framesWritten)));
    if (outcome.paddingFrames > 0) {
        lines.push_back("zero padding:      " + std::to_string(outcome.paddingFrames) +
                        " frames close the last chunk (not compared)");
    }
    lines.push_back(
        format("difference:        %+.1fms (%+.2fms per second)", diffMs, driftMsPerSecond));
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
        lines.push_back("FAIL: " + std::to_string(outcome.writeFailures) +
                        " file writes failed.");
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

    auto ring = CaptureRing::createStandard();
    if (!ring) {
        line("FAILED to allocate ring: " + std::string(ring.error().description()));
        return 1;
    }
    line("starting capture (answer the permission prompt if one appears)");
    auto session = TapSession::create();
    const auto tapFormat = session->start(*ring);
    if (!tapFormat) {
        line("FAILED to start capture: " + TapSession::describe(tapFormat.error()));
        return 1;
    }
    line("tap format: " + tapFormat->text());
    line("aggregate IO buffer: " + std::to_string(session->bufferFrameSize()) + " frames");

    auto recorder = create(path, *tapFormat);
    if (!recorder) {
        line("FAILED to open " + path + ": " + recorder.error().description());
        session->stop();
        return 1;
    }
    auto pipeline = CapturePipeline::create(*ring, *tapFormat, framesPerChunk);
    pipeline->setSink(*recorder);
    pipeline->setOutputRunning(outputRunningOf(session));

    std::optional<CpuStress> busy;
    if (stress) {
        const unsigned processors = activeProcessors();
        line("stress: spinning " + std::to_string(processors) +
             " busy threads to contend for CPU");
        busy.emplace(processors);
    }

    // The wall clock and the written audio start together: what capture delivered while it
    // was being set up is left out, and the clock starts as a delivery arrives.
    sr_ring* rawRing = (*ring)->pointer();
    const DeliveryMark first = awaitDelivery(rawRing);
    discardSlots(rawRing, first.waitingSlots);
    const double startedAt = first.seconds;
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

    // ...and end together: the clock stops as a delivery arrives, and everything captured
    // up to that delivery is written. The silence that completes the last chunk is written
    // too, but it is no captured audio, so it is left out of the comparison.
    pipeline->stop();
    const DeliveryMark last = awaitDelivery(rawRing);
    pipeline->drainRing(last.waitingSlots);
    const int staged = pipeline->assembler().stagedFrames();
    const std::int64_t padding =
        staged > 0 ? static_cast<std::int64_t>(pipeline->tapFramesPerChunk() - staged) *
                         framesPerChunk / pipeline->tapFramesPerChunk()
                   : 0;
    pipeline->assembler().flushPartialAsZeroPadded();
    pipeline->emitReadyChunks();
    const double wall = last.seconds - startedAt;
    const CapturePipeline::Stats stats = pipeline->stats();

    const Verdict verdict = judge({wall, (*recorder)->framesWritten(), padding,
                                   tapFormat->sampleRate, stats.ringOverruns,
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
