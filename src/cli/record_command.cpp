#include "cli/record_command.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <optional>
#include <random>
#include <string_view>
#include <thread>

#include "cli/capture_start.h"
#include "host/capture/tap_session.h"
#include "host/checks/firewall_fix.h"
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

// The lower convex hull of points in time order: the corners of the envelope under them.
template <typename Point>
std::vector<Point> lowerHull(std::span<const Point> points) {
    std::vector<Point> hull;
    for (const Point& point : points) {
        while (hull.size() >= 2) {
            const Point& a = hull[hull.size() - 2];
            const Point& b = hull.back();
            const double turn = (b.seconds - a.seconds) * (point.offset - a.offset) -
                                (b.offset - a.offset) * (point.seconds - a.seconds);
            if (turn > 0) {
                break;
            }
            hull.pop_back();
        }
        hull.push_back(point);
    }
    return hull;
}

// A take of an hour at 50 chunks a second fits without merging observations.
constexpr std::size_t arrivalsKept = 1 << 18;
// A new capture stream's deliveries come late at first, a few milliseconds less each
// time, while the sound server settles the stream's latency (for about 1.5 s from the
// start); taken into a short take, that would read as frames to spare.
constexpr double settleSeconds = 2.0;

// The first of the players that can play the take here, as a command: paplay talks to the
// sound server the take came from (PulseAudio, or PipeWire's PulseAudio service); pw-play
// and aplay for a system without it.
std::optional<std::string> installedPlayer() {
    const char* path = std::getenv("PATH");
    for (const char* player : {"paplay", "pw-play", "aplay"}) {
        std::string_view folders = path != nullptr ? path : "";
        while (!folders.empty()) {
            const std::size_t colon = folders.find(':');
            const std::string_view folder = folders.substr(0, colon);
            folders = colon == std::string_view::npos ? "" : folders.substr(colon + 1);
            if (!folder.empty() &&
                ::access((std::string(folder) + "/" + player).c_str(), X_OK) == 0) {
                return std::string(player);
            }
        }
    }
    return std::nullopt;
}

}  // namespace

RecordCommand::ArrivalEnvelope::ArrivalEnvelope(double rate, std::size_t capacity)
    : rate_(rate), capacity_(std::max<std::size_t>(2, capacity + capacity % 2)) {
    points_.reserve(capacity_);
}

void RecordCommand::ArrivalEnvelope::observe(double seconds, std::int64_t frames) {
    const Point point{seconds, seconds - static_cast<double>(frames) / rate_};
    if (!first_) {
        first_ = seconds;
    }
    last_ = seconds;
    if (!pending_ || point.offset < pending_->offset) {
        pending_ = point;
    }
    if (++pendingCount_ < stride_) {
        return;
    }
    keep(*pending_);
    pending_.reset();
    pendingCount_ = 0;
}

// When the room is full, each pair of neighbours becomes the lower of the two, and from
// then on twice as many observations go into each point: only points above the
// envelope are lost.
void RecordCommand::ArrivalEnvelope::keep(const Point& point) {
    if (points_.size() == capacity_) {
        for (std::size_t i = 0; i < capacity_ / 2; ++i) {
            const Point& a = points_[2 * i];
            const Point& b = points_[2 * i + 1];
            points_[i] = a.offset <= b.offset ? a : b;
        }
        points_.resize(capacity_ / 2);
        stride_ *= 2;
    }
    points_.push_back(point);
}

std::optional<double> RecordCommand::ArrivalEnvelope::rise() const {
    std::vector<Point> points(points_);
    if (pending_) {
        points.push_back(*pending_);
    }
    if (points.size() < 2 || points.back().seconds <= points.front().seconds) {
        return std::nullopt;
    }
    // The line under every point with the least summed distance to them is the edge of
    // the lower hull above the points' mean time.
    double sum = 0;
    for (const Point& point : points) {
        sum += point.seconds - points.front().seconds;
    }
    const double mean = points.front().seconds + sum / static_cast<double>(points.size());
    const std::vector<Point> hull = lowerHull(std::span<const Point>(points));
    for (std::size_t i = 1; i < hull.size(); ++i) {
        if (hull[i].seconds >= mean || i + 1 == hull.size()) {
            return (hull[i].offset - hull[i - 1].offset) / (hull[i].seconds - hull[i - 1].seconds);
        }
    }
    return std::nullopt;
}

double RecordCommand::ArrivalEnvelope::span() const {
    return first_ ? last_ - *first_ : 0.0;
}

double RecordCommand::ArrivalEnvelope::wallSeconds(std::int64_t frames) const {
    return static_cast<double>(frames) / rate_ + rise().value_or(0.0) * span();
}

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

void RecordCommand::observeArrivals(double rate, std::function<std::int64_t()> framesTaken) {
    framesTaken_ = std::move(framesTaken);
    arrivals_.emplace(rate, arrivalsKept);
}

RecordCommand::~RecordCommand() = default;

void RecordCommand::pipelineDidProduce(const TierFrames&, const ChunkAssembler::Chunk&,
                                       std::span<const float> pcm, std::uint64_t, std::uint64_t) {
    if (arrivals_ && framesTaken_) {
        arrivals_->observe(WallClock::now(), framesTaken_());
    }
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

RecordCommand::Verdict RecordCommand::judge(const Outcome& outcome, const std::string& path,
                                            const std::optional<std::string>& player) {
    const double audio = static_cast<double>(outcome.framesWritten) / outcome.sampleRate;
    const double captured = static_cast<double>(outcome.capturedFrames) / outcome.sampleRate;
    const double diffMs = (captured - outcome.wallSeconds) * 1000.0;
    // A take too short to hold any audio has nothing to diverge.
    const double driftMsPerSecond = outcome.wallSeconds > 0 ? diffMs / outcome.wallSeconds : 0.0;

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
            "dropped \u2014 check the capture callback for allocation, locking or logging.");
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
        lines.push_back(player ? "PASS: realtime path is clean. Listen with: " + *player + " " +
                                     FirewallFix::shellQuoted(path)
                               : "PASS: realtime path is clean. Listen with any audio player: " +
                                     path);
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
    const double capturedSince = WallClock::now();
    const auto& session = capture->session;
    const TapFormat& tapFormat = capture->format;
    line("capture buffer: " + std::to_string(session->bufferFrameSize()) + " frames");

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

    // The take starts with the first frame delivered once the stream has settled: what
    // capture delivered until then is left out.
    sr_ring* rawRing = capture->ring->pointer();
    const double rate = tapFormat.sampleRate;
    while (WallClock::now() - capturedSince < settleSeconds) {
        discardSlots(rawRing);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    discardSlots(rawRing);
    (*recorder)->observeArrivals(rate, [weak = std::weak_ptr<CapturePipeline>(pipeline)] {
        const auto taken = weak.lock();
        return taken ? taken->framesDrained() : 0;
    });
    const double startedAt = WallClock::now();
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

    // Everything captured up to the stop is written; the silence that completes the last
    // chunk is written too, but it is no captured audio, so it is not compared.
    pipeline->stop();
    pipeline->drainRing();
    pipeline->assembler().flushPartialAsZeroPadded();
    pipeline->emitReadyChunks();
    const CapturePipeline::Stats stats = pipeline->stats();
    const std::int64_t captured = pipeline->framesDrained();
    const double wall = (*recorder)->arrivals()->wallSeconds(captured);

    const Verdict verdict =
        judge({wall, (*recorder)->framesWritten(), captured, rate, stats.ringOverruns,
               stats.discontinuities, (*recorder)->writeFailures()},
              path, installedPlayer());
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
