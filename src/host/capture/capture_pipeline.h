// The capture ring's consumer: on its own sender thread it drains the ring every 5 ms, cuts
// 960-frame chunks, resamples them to 48 kHz, meters them, keeps the one-minute black box,
// encodes each chunk once per quality tier the guests need, frames each encoding once and
// hands the tier frames to a sink. When a chunk's work keeps running over its budget it
// sheds work the guests do not hear (SenderBudget): first the encoders kept warm for
// streams nobody is on, then the best stream, whose guests take the next one, and so on
// down to one stream; after a long calm everything comes back. The owner sets it up and starts and stops it from one
// thread; stats(), bufferDelayMs() and dumpBlackBox() may be called from any thread.
//
// The sender thread formats no text: its diagnostic lines are written from the pipeline's
// own serial queue ("com.zoranth.pipeline").
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "host/capture/capture_ring.h"
#include "host/capture/sender_budget.h"
#include "host/capture/tap_format.h"
#include "host/serial_queue.h"
#include "kit/chunk_assembler.h"
#include "kit/opus_codec.h"
#include "kit/pcm_black_box.h"
#include "kit/pcm_convert.h"
#include "kit/quality_tier.h"
#include "kit/resampler.h"
#include "kit/silence_watchdog.h"
#include "kit/splice_meter.h"
#include "kit/tier_frames.h"
#include "protocol/wire_format.h"

namespace zoranth {

class CapturePipeline : public std::enable_shared_from_this<CapturePipeline> {
    struct Key {};

  public:
    // The pipeline's counters and levels, copied out under its lock.
    struct Stats {
        std::int64_t chunksProduced = 0;   // encoded, or at least offered to the sink
        std::int64_t framesProduced = 0;   // 960 per delivered chunk
        std::uint64_t ringOverruns = 0;    // the ring's count at the last delivery
        std::int64_t discontinuities = 0;  // the assembler's gap count at the last delivery
        std::vector<float> peak;           // per channel, of the last delivered chunk
        std::vector<float> rms;
        SilenceWatchdog::Diagnosis diagnosis = SilenceWatchdog::Diagnosis::idle(0.0);
        std::uint32_t ringDepth = 0;         // slots waiting at the last delivery
        std::uint64_t ioProcDeliveries = 0;  // the ring's write count at the last diagnosis
        std::int64_t encodeFailures = 0;     // short resampler outputs and failed encodes
        std::int64_t encodedBytes = 0;       // Opus payload bytes, every tier framed
        std::int64_t encoderCount = 0;       // tier encoders alive at the last delivery
        std::optional<double> spliceRate;    // absent until the splice meter has a verdict
        std::int64_t workSheds = 0;          // steps the sender took to keep its budget
        bool shedding = false;               // some of that work is still shed
    };

    // Where every produced chunk goes. Called on the sender thread (and, for the final flush,
    // on the thread that calls emitReadyChunks); it must not block for long, or the ring
    // overruns. The pipeline holds its sink weakly.
    class Sink {
      public:
        virtual ~Sink() = default;
        // `frames` holds one complete audio wire frame per tier wanted this chunk (all with
        // the same header; none when no tier is wanted); the sink may keep references to
        // them. `chunk` is the chunk as assembled at the tap rate with its unadjusted host
        // time; `pcm` the chunk at 48 kHz, interleaved, 960 × channels samples.
        // `hostTimeNanos` is the chunk's time less the resampler's latency, `deadlineNanos`
        // its playout deadline. The spans and the chunk are only valid during the call.
        virtual void pipelineDidProduce(const TierFrames& frames,
                                        const ChunkAssembler::Chunk& chunk,
                                        std::span<const float> pcm, std::uint64_t hostTimeNanos,
                                        std::uint64_t deadlineNanos) = 0;
    };

    // One tier's encoder as the pipeline drives it, at a bitrate fixed when it is made: the
    // Opus encoder, unless the owner supplies another factory.
    class Encoder {
      public:
        virtual ~Encoder() = default;
        // The packet stays valid until the next call.
        virtual std::expected<std::span<const std::uint8_t>, OpusCodec::Failure> encode(
            std::span<const float> pcm) = 0;
    };
    using EncoderFactory =
        std::function<std::expected<std::unique_ptr<Encoder>, OpusCodec::Failure>(
            int channels, std::int32_t bitrate)>;
    static EncoderFactory opusEncoders();

    struct Failure {
        enum class Case {
            encoder,                // the trial encoder refused the format
            unsupportedSampleRate,  // no whole number of tap frames makes a 48 kHz chunk
            alreadyStarted,
            threadNotStarted,
        };

        Case kind = Case::encoder;
        OpusCodec::Failure encoderFailure;  // encoder
        double sampleRate = 0;              // unsupportedSampleRate
        std::string reason;                 // threadNotStarted: what the system said

        static Failure encoder(OpusCodec::Failure failure) {
            return {Case::encoder, failure, 0, {}};
        }
        static Failure unsupportedSampleRate(double rate) {
            return {Case::unsupportedSampleRate, noEncoderFailure(), rate, {}};
        }
        static Failure alreadyStarted() {
            return {Case::alreadyStarted, noEncoderFailure(), 0, {}};
        }
        static Failure threadNotStarted(std::string why) {
            return {Case::threadNotStarted, noEncoderFailure(), 0, std::move(why)};
        }
        static OpusCodec::Failure noEncoderFailure() {
            return OpusCodec::Failure{OpusCodec::Failure::Case::createFailed};
        }

        // "opus supports 1 or 2 channels, not 6", …
        std::string description() const;
    };

    static constexpr int outputRate = OpusCodec::sampleRate;
    static constexpr std::uint16_t initialBufferDelayMs = 1500;
    static constexpr std::int32_t trialBitrate = 128000;
    static constexpr std::size_t blackBoxesKept = 5;
    // A tier encoder made while guests are already listening is fed this many chunks of the
    // audio just before, so that a guest moving onto its stream hears no start-up: a fresh
    // Opus encoder's first packets dip and click against the stream the guest came from.
    static constexpr int primingChunks = 5;
    // A tier nobody has wanted for this many chunks (3 s) gives up its encoder; until then it
    // keeps encoding, so a guest coming back to it moves onto a warm stream.
    static constexpr int lingerChunks = 150;

    // framesPerChunk is the chunk length at 48 kHz (960 from every caller). At another tap
    // rate the assembler cuts framesPerChunk × rate ÷ 48000 tap frames, which the resampler
    // turns into exactly framesPerChunk; a rate where that is not a whole number is refused
    // by start().
    static std::shared_ptr<CapturePipeline> create(std::shared_ptr<CaptureRing> ring,
                                                   TapFormat format, int framesPerChunk);
    CapturePipeline(Key, std::shared_ptr<CaptureRing> ring, TapFormat format, int framesPerChunk);
    ~CapturePipeline();
    CapturePipeline(const CapturePipeline&) = delete;
    CapturePipeline& operator=(const CapturePipeline&) = delete;

    // Set by the owner before start().
    void setSink(std::weak_ptr<Sink> sink);
    // The tiers the guests need, read once per pass on the sender thread: it must answer
    // at once (the server answers from a snapshot). Not set: no tier is encoded.
    void setTiersWanted(std::function<TierSet()> tiersWanted);
    // Whether the default output is playing somewhere, for the silence diagnosis; false
    // when not set.
    void setOutputRunning(std::function<bool()> outputRunning);
    void setEncoderFactory(EncoderFactory factory);
    // Where the pipeline's diagnostic lines go; the system journal (category "pipeline")
    // unless replaced.
    void setDiagnosticLog(std::function<void(std::string_view)> log);

    // Checks the format with a trial encoder, then starts the sender thread. There is no
    // restart.
    std::expected<void, Failure> start();
    // Asks the sender thread to leave its loop and waits until it has, and for the lines it
    // had to say (at most a second). The statistics and the black box stay readable.
    void stop();

    Stats stats() const;
    std::uint16_t bufferDelayMs() const;
    // Values outside 0 … 65535 are ignored.
    void setBufferDelayMs(std::int64_t milliseconds);

    // Only while the sender thread is not running (before start() or after stop()): the
    // terminal modes flush the last partial chunk with assembler().flushPartialAsZeroPadded()
    // and hand it on with emitReadyChunks().
    ChunkAssembler& assembler() { return assembler_; }
    void emitReadyChunks();
    // The sender loop's drain of the ring into the assembler; returns the frames taken. Also
    // only while the sender thread is not running: a mode that stops the pipeline uses it to
    // take in what capture delivered up to the moment it stopped.
    std::int64_t drainRing();
    // Frames taken from the ring so far; read it only while the sender thread is not running.
    std::int64_t framesDrained() const { return framesDrained_; }

    // Consecutive slots of a new size before it counts as the capture's buffer size: the
    // sound server hands over the odd short read between regular ones, which is no change.
    static constexpr int slotSizeSettlesAfter = 3;

    // Saves the black box as "capture-{yyyyMMdd-HHmmss}-{reason}.wav" in the host log's
    // folder, keeping the five newest such files. Nothing when the box is empty or the
    // file cannot be written.
    std::optional<std::filesystem::path> dumpBlackBox(std::string_view reason);
    std::optional<std::filesystem::path> dumpBlackBox(std::string_view reason,
                                                      const std::filesystem::path& folder);

    int channels() const { return channels_; }
    double tapSampleRate() const { return tapSampleRate_; }
    int tapFramesPerChunk() const { return tapFramesPerChunk_; }
    const TapFormat& format() const { return format_; }

  private:
    static void senderMain(std::weak_ptr<CapturePipeline> weak);
    bool isCancelled() const;
    void noteSlotFrames(std::uint32_t frames);
    void updateDiagnosis();
    void alignTiers();
    TierSet streamedTiers() const;
    void startTier(QualityTier tier);
    std::int64_t encodeTiers(std::span<const float> pcm, const AudioChunkHeader& header,
                             bool& anyWanted);
    void remember(std::span<const float> pcm);
    void emitChunk(ChunkAssembler::Chunk& chunk, std::uint16_t bufferDelayMs);
    void produceChunk(ChunkAssembler::Chunk& chunk, std::uint16_t bufferDelayMs);
    void judgeWork(std::chrono::nanoseconds work);
    bool shed(std::chrono::nanoseconds work);
    void restore();
    void countEncodeFailure();
    void log(const std::string& line) const;
    // Writes a line later, from the pipeline's queue: `line` builds the text there.
    void sayLater(std::function<std::string()> line);
    // The same, and to the host log as well: for what the person running the rave should see.
    void tellLater(std::function<std::string()> line);

    // One tier's stream: its encoder while a guest wants it or it lingers.
    struct TierStream {
        std::unique_ptr<Encoder> encoder;
        int unwantedChunks = 0;
        bool encodeFailing = false;    // said once per run of failed encodes
        bool creationFailing = false;  // said once per run of refused creations
    };

    const std::shared_ptr<CaptureRing> ring_;
    const TapFormat format_;
    const int channels_;
    const double tapSampleRate_;
    const int framesPerChunk_;
    const int tapFramesPerChunk_;
    const bool rateSupported_;

    // Owned by the sender thread while it runs.
    ChunkAssembler assembler_;
    SilenceWatchdog watchdog_;
    std::uint32_t sequence_ = 0;
    Resampler resampler_;
    std::array<TierStream, QualityTier::count> tiers_;
    TierSet wanted_;    // read at the start of each pass
    TierSet streamed_;  // the wanted tiers less those merged away to keep the budget
    // What the sender sheds to keep its budget.
    struct Shedding {
        bool warmOff = false;    // no encoder kept warm for a stream nobody is on
        int merged = 0;          // the best streams, merged into the next one wanted
        bool exhausted = false;  // nothing was left to shed (said once)
        bool shedsWork() const { return warmOff || merged > 0; }
        // An episode runs from the first step asked for until the calm gives everything back.
        bool active() const { return shedsWork() || exhausted; }
    };
    Shedding shedding_;
    SenderBudget budget_;
    int lastDiscontinuities_ = 0;
    SpliceMeter splices_{1000};
    std::int64_t framesDrained_ = 0;
    std::uint32_t lastSlotFrames_ = 0;  // the settled slot size; 0 before the first slot
    std::uint32_t candidateSlotFrames_ = 0;
    int candidateSlots_ = 0;
    std::vector<std::span<const float>> planes_;
    std::vector<float> silence_;  // stands in for planes the ring does not carry
    // The last primingChunks chunks at 48 kHz, a ring of whole chunks starting at historyNext_.
    std::vector<float> history_;
    int historyNext_ = 0;
    int historyCount_ = 0;
    std::vector<float> pcm_;
    PCMConvert::Levels levels_;
    TierFrames frames_;

    mutable std::mutex boxLock_;  // blackBox_
    PCMBlackBox blackBox_;

    mutable std::mutex lock_;  // stats_, cancelled_, bufferDelayMs_
    Stats stats_;
    bool cancelled_ = false;
    std::uint16_t bufferDelayMs_ = initialBufferDelayMs;

    // Set before start().
    std::weak_ptr<Sink> sink_;
    std::function<TierSet()> tiersWanted_;
    std::function<bool()> outputRunning_;
    EncoderFactory encoderFactory_;
    std::function<void(std::string_view)> diagnosticLog_;

    bool started_ = false;
    std::thread thread_;
    SerialQueue notices_{"com.zoranth.pipeline"};
};

}  // namespace zoranth
