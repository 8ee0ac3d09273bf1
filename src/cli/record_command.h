// Record mode: runs the real capture chain for a fixed time, writes everything the pipeline
// produces to a 16-bit WAV file and judges whether the realtime path kept wall-clock time.
// run() belongs to the process's main thread; as the pipeline's sink the command is called
// on the sender thread, and its counters may be read from any thread.
#pragma once

#include <sndfile.h>

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "host/capture/capture_pipeline.h"
#include "host/capture/host_error.h"
#include "host/capture/tap_format.h"

namespace zoranth {

class RecordCommand : public CapturePipeline::Sink {
    struct Key {};

  public:
    struct Failure {
        enum class Case { fileNotOpened, formatUnavailable };

        Case kind = Case::fileNotOpened;
        std::string reason;  // fileNotOpened: what the file system said

        std::string description() const;
    };

    // Where the capture stands against the wall clock, read from when its frames arrive.
    // Each observation is a moment and the frames taken from the ring by then. Frames are
    // never taken before they were made, only late (a stall, a backlog, a busy machine,
    // the sound server settling after the stream starts), so every offset (moment −
    // frames ÷ rate) lies on or above where the capture really stands. The line under all
    // of them that runs closest to them, the lower envelope fitted over the whole take,
    // tells where it stands: it rises where frames went missing and stays level however
    // late single deliveries came. Observed from one thread at a time; read once the
    // observing has stopped.
    class ArrivalEnvelope {
      public:
        // Keeps at most `capacity` observations (at least 2, rounded up to even); a longer
        // take keeps, of each run of consecutive observations, the one lying lowest.
        ArrivalEnvelope(double rate, std::size_t capacity);

        // `frames` frames had been taken by `seconds` on the wall clock. Never allocates.
        void observe(double seconds, std::int64_t frames);

        // Seconds by which the fitted envelope rises per second of take: positive when
        // frames went missing (or the capture's clock runs slow). None before two
        // observations at different moments.
        std::optional<double> rise() const;
        // Seconds from the first observation to the last.
        double span() const;
        // The wall-clock length of `frames` frames captured meanwhile: their own length,
        // and how far the envelope rose (frames missing) or fell (frames to spare).
        double wallSeconds(std::int64_t frames) const;

      private:
        struct Point {
            double seconds = 0;
            double offset = 0;
        };
        void keep(const Point& point);

        double rate_;
        std::size_t capacity_;
        std::vector<Point> points_;
        std::size_t stride_ = 1;  // observations merged into each kept point
        std::optional<Point> pending_;
        std::size_t pendingCount_ = 0;
        std::optional<double> first_;
        double last_ = 0;
    };

    // 0 for PASS; 1 for FAIL or any setup failure.
    static int run(const std::string& path, double seconds, bool stress);

    // Opens `path` for 16-bit interleaved PCM at the format's rate and channel count.
    static std::expected<std::shared_ptr<RecordCommand>, Failure> create(const std::string& path,
                                                                         const TapFormat& format);
    RecordCommand(Key, SNDFILE* file, int channels);
    ~RecordCommand() override;
    RecordCommand(const RecordCommand&) = delete;
    RecordCommand& operator=(const RecordCommand&) = delete;

    // Writes the chunk's 48 kHz samples; nothing else of the chunk is used.
    void pipelineDidProduce(const TierFrames& frames, const ChunkAssembler::Chunk& chunk,
                            std::span<const float> pcm, std::uint64_t hostTimeNanos,
                            std::uint64_t deadlineNanos) override;

    std::int64_t framesWritten() const;
    std::int64_t writeFailures() const;

    // Before the pipeline starts: each chunk delivered from then on is an observation of
    // `framesTaken()` (the frames the pipeline has taken from the ring, asked on the thread
    // that delivers the chunk) at the time of its delivery.
    void observeArrivals(double rate, std::function<std::int64_t()> framesTaken);
    // Only once no chunk is delivered any more.
    const std::optional<ArrivalEnvelope>& arrivals() const { return arrivals_; }

    // What the verdict is drawn from.
    struct Outcome {
        double wallSeconds = 0;
        std::int64_t framesWritten = 0;   // silence that completes chunks included
        std::int64_t capturedFrames = 0;  // the captured audio among them
        double sampleRate = 48000;
        std::uint64_t ringOverruns = 0;
        std::int64_t discontinuities = 0;
        std::int64_t writeFailures = 0;
    };
    struct Verdict {
        std::vector<std::string> lines;  // the summary, then the verdict
        int status = 0;
    };
    // The captured audio written must match the wall clock within 1 ms per second, with no
    // overrun, no timestamp jump and no failed write. A clean take names `player` (a
    // command that plays a WAV file here) to listen with, or any audio player.
    static Verdict judge(const Outcome& outcome, const std::string& path,
                         const std::optional<std::string>& player);

    // One progress row.
    static std::string row(double elapsed, const CapturePipeline::Stats& stats,
                           std::int64_t framesWritten);

  private:
    struct CloseFile {
        void operator()(SNDFILE* file) const { sf_close(file); }
    };

    const std::unique_ptr<SNDFILE, CloseFile> file_;
    const int channels_;
    std::vector<std::int16_t> buffer_;  // sender thread only
    // Set before the pipeline starts, then the delivering thread's until it stops.
    std::function<std::int64_t()> framesTaken_;
    std::optional<ArrivalEnvelope> arrivals_;

    mutable std::mutex lock_;  // the two counters
    std::int64_t framesWritten_ = 0;
    std::int64_t writeFailures_ = 0;
};

}  // namespace zoranth
