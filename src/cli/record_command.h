// Record mode: runs the real capture chain for a fixed time, writes everything the pipeline
// produces to a 16-bit WAV file and judges whether the realtime path kept wall-clock time.
// run() belongs to the process's main thread; as the pipeline's sink the command is called
// on the sender thread, and its counters may be read from any thread.
#pragma once

#include <sndfile.h>

#include <cstdint>
#include <expected>
#include <memory>
#include <mutex>
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
    // overrun, no timestamp jump and no failed write.
    static Verdict judge(const Outcome& outcome, const std::string& path);

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

    mutable std::mutex lock_;  // the two counters
    std::int64_t framesWritten_ = 0;
    std::int64_t writeFailures_ = 0;
};

}  // namespace zoranth
