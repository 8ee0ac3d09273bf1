#include "host/capture/capture_pipeline.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <future>
#include <system_error>
#include <utility>

#include "host/capture/black_box_dump.h"
#include "host/diagnostic_log.h"
#include "host/host_log.h"
#include "host/wall_clock.h"
#include "kit/frame_queue.h"
#include "kit/opus_encoder.h"
#include "protocol/frame_encoder.h"

namespace zoranth {
namespace {

constexpr std::string_view category = "pipeline";
constexpr auto passInterval = std::chrono::milliseconds(5);
constexpr int blackBoxSeconds = 60;
constexpr int blackBoxChannels = 2;
constexpr std::int64_t spliceBoundaries = 1000;
// The lowest realtime priority: ahead of every ordinary thread, yet never ahead of the
// sound server's own realtime threads, whose rendering the sender waits for anyway.
constexpr int senderRealtimePriority = 1;

int roundedRate(double sampleRate) {
    return sampleRate > 0 && sampleRate < 1e9 ? static_cast<int>(std::lround(sampleRate)) : 0;
}

// Tap frames that resample to exactly `framesPerChunk` output frames, or 0 when none do.
int tapFramesFor(double sampleRate, int framesPerChunk) {
    const int rate = roundedRate(sampleRate);
    if (rate <= 0 || framesPerChunk <= 0) {
        return 0;
    }
    const std::int64_t scaled = static_cast<std::int64_t>(framesPerChunk) * rate;
    if (scaled % CapturePipeline::outputRate != 0) {
        return 0;
    }
    const auto frames = static_cast<int>(scaled / CapturePipeline::outputRate);
    const auto ratio = Resampler::Ratio::reducing(rate, CapturePipeline::outputRate);
    return ratio.divides(frames) && ratio.outputFrames(frames) == framesPerChunk ? frames : 0;
}

Resampler::Ratio ratioFor(double sampleRate) {
    const int rate = roundedRate(sampleRate);
    return rate > 0 ? Resampler::Ratio::reducing(rate, CapturePipeline::outputRate)
                    : Resampler::Ratio::full;
}

// Realtime scheduling when the system grants it, else the best nice value; whatever is
// refused simply leaves the thread as it was.
std::string raiseSenderPriority() {
    for (const int policy : {SCHED_FIFO, SCHED_RR}) {
        int priority = std::min(senderRealtimePriority, sched_get_priority_max(policy));
        rlimit limit{};
        if (getrlimit(RLIMIT_RTPRIO, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
            limit.rlim_cur > 0 && static_cast<rlim_t>(priority) > limit.rlim_cur) {
            priority = static_cast<int>(limit.rlim_cur);
        }
        sched_param parameters{};
        parameters.sched_priority = priority;
        if (pthread_setschedparam(pthread_self(), policy, &parameters) == 0) {
            return std::string(policy == SCHED_FIFO ? "SCHED_FIFO " : "SCHED_RR ") +
                   std::to_string(priority);
        }
    }
    const pid_t thread = gettid();
    for (int nice = -20; nice < 0; ++nice) {
        if (setpriority(PRIO_PROCESS, static_cast<id_t>(thread), nice) == 0) {
            return "nice " + std::to_string(nice);
        }
    }
    return "default priority";
}

class OpusTierEncoder final : public CapturePipeline::Encoder {
  public:
    explicit OpusTierEncoder(std::shared_ptr<OpusEncoder> encoder) : encoder_(std::move(encoder)) {}

    std::expected<std::span<const std::uint8_t>, OpusCodec::Failure> encode(
        std::span<const float> pcm) override {
        return encoder_->encodeInPlace(pcm);
    }

  private:
    std::shared_ptr<OpusEncoder> encoder_;
};

constexpr auto noticeFlushLimit = std::chrono::seconds(1);

}  // namespace

CapturePipeline::EncoderFactory CapturePipeline::opusEncoders() {
    return [](int channels,
              std::int32_t bitrate) -> std::expected<std::unique_ptr<Encoder>, OpusCodec::Failure> {
        auto encoder = OpusEncoder::create(channels, bitrate);
        if (!encoder) {
            return std::unexpected(encoder.error());
        }
        return std::make_unique<OpusTierEncoder>(std::move(*encoder));
    };
}

std::string CapturePipeline::Failure::description() const {
    switch (kind) {
        case Case::encoder:
            return encoderFailure.description();
        case Case::unsupportedSampleRate:
            return "a capture rate of " + std::to_string(roundedRate(sampleRate)) +
                   " Hz is not supported: 20 ms is not a whole number of frames at that rate "
                   "that resamples to 48000 Hz";
        case Case::alreadyStarted:
            return "the pipeline was already started";
        case Case::threadNotStarted:
            return "could not start the sender thread: " + reason;
    }
    return "unknown pipeline failure";
}

std::shared_ptr<CapturePipeline> CapturePipeline::create(std::shared_ptr<CaptureRing> ring,
                                                         TapFormat format, int framesPerChunk) {
    return std::make_shared<CapturePipeline>(Key{}, std::move(ring), format, framesPerChunk);
}

// A format the pipeline cannot take still builds (with stand-in sizes), so that start()
// can refuse it with a reason instead of the constructor aborting.
CapturePipeline::CapturePipeline(Key, std::shared_ptr<CaptureRing> ring, TapFormat format,
                                 int framesPerChunk)
    : ring_(std::move(ring)),
      format_(format),
      channels_(format.channels),
      tapSampleRate_(format.sampleRate),
      framesPerChunk_(framesPerChunk),
      tapFramesPerChunk_(tapFramesFor(format.sampleRate, framesPerChunk)),
      rateSupported_(tapFramesPerChunk_ > 0),
      assembler_(rateSupported_ ? tapSampleRate_ : outputRate, std::max(channels_, 1),
                 rateSupported_ ? tapFramesPerChunk_ : std::max(framesPerChunk, 1)),
      resampler_(rateSupported_ ? ratioFor(tapSampleRate_) : Resampler::Ratio::full,
                 std::max(channels_, 1)),
      splices_(spliceBoundaries),
      planes_(static_cast<std::size_t>(std::max(channels_, 1))),
      silence_(ring_->maxFramesPerSlot(), 0.0f),
      history_(static_cast<std::size_t>(primingChunks) *
               static_cast<std::size_t>(std::max(channels_, 1)) *
               static_cast<std::size_t>(std::max(framesPerChunk, 1))),
      blackBox_(blackBoxSeconds, outputRate, blackBoxChannels),
      encoderFactory_(opusEncoders()),
      diagnosticLog_([](std::string_view line) { DiagnosticLog::write(category, line); }) {
    const auto channelCount = static_cast<std::size_t>(std::max(channels_, 1));
    stats_.peak.assign(channelCount, 0.0f);
    stats_.rms.assign(channelCount, 0.0f);
    pcm_.reserve(channelCount * static_cast<std::size_t>(std::max(framesPerChunk, 1)));
    levels_.peak.reserve(channelCount);
    levels_.rms.reserve(channelCount);
}

CapturePipeline::~CapturePipeline() {
    {
        std::lock_guard guard(lock_);
        cancelled_ = true;
    }
    if (thread_.joinable()) {
        // The sender thread may hold the last reference for the length of one pass.
        if (thread_.get_id() == std::this_thread::get_id()) {
            thread_.detach();
        } else {
            thread_.join();
        }
    }
}

void CapturePipeline::setSink(std::weak_ptr<Sink> sink) {
    sink_ = std::move(sink);
}

void CapturePipeline::setTiersWanted(std::function<TierSet()> tiersWanted) {
    tiersWanted_ = std::move(tiersWanted);
}

void CapturePipeline::setOutputRunning(std::function<bool()> outputRunning) {
    outputRunning_ = std::move(outputRunning);
}

void CapturePipeline::setEncoderFactory(EncoderFactory factory) {
    encoderFactory_ = std::move(factory);
}

void CapturePipeline::setDiagnosticLog(std::function<void(std::string_view)> log) {
    diagnosticLog_ = std::move(log);
}

std::expected<void, CapturePipeline::Failure> CapturePipeline::start() {
    if (started_) {
        return std::unexpected(Failure::alreadyStarted());
    }
    // A format the encoder cannot take fails here rather than on every chunk.
    if (auto trial = encoderFactory_(channels_, trialBitrate); !trial) {
        return std::unexpected(Failure::encoder(trial.error()));
    }
    if (!rateSupported_) {
        return std::unexpected(Failure::unsupportedSampleRate(tapSampleRate_));
    }
    try {
        thread_ = std::thread(&CapturePipeline::senderMain, weak_from_this());
    } catch (const std::system_error& error) {
        return std::unexpected(Failure::threadNotStarted(error.what()));
    }
    started_ = true;
    if (tapFramesPerChunk_ != framesPerChunk_) {
        log("chunks of " + std::to_string(tapFramesPerChunk_) + " frames at " +
            std::to_string(roundedRate(tapSampleRate_)) + " Hz, resampled to " +
            std::to_string(framesPerChunk_) + " at 48000 Hz");
    }
    return {};
}

void CapturePipeline::stop() {
    {
        std::lock_guard guard(lock_);
        cancelled_ = true;
    }
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) {
        thread_.join();
    }
    if (!notices_.isCurrent()) {
        auto said = std::make_shared<std::promise<void>>();
        auto future = said->get_future();
        notices_.post([said] { said->set_value(); });
        future.wait_for(noticeFlushLimit);
    }
}

void CapturePipeline::senderMain(std::weak_ptr<CapturePipeline> weak) {
    pthread_setname_np(pthread_self(), "zoranth-sender");
    const std::string priority = raiseSenderPriority();
    if (const auto self = weak.lock()) {
        self->log("com.zoranth.sender started: " + priority);
    }
    for (;;) {
        {
            const auto self = weak.lock();
            if (!self || self->isCancelled()) {
                return;
            }
            self->drainRing();
            self->emitReadyChunks();
            self->updateDiagnosis();
        }
        std::this_thread::sleep_for(passInterval);
    }
}

bool CapturePipeline::isCancelled() const {
    std::lock_guard guard(lock_);
    return cancelled_;
}

// Feeds every waiting slot to the assembler, reading the planes in place.
std::int64_t CapturePipeline::drainRing() {
    sr_ring* ring = ring_->pointer();
    std::int64_t drained = 0;
    while (const sr_slot* slot = sr_ring_begin_read(ring)) {
        const std::uint32_t frames = std::min(slot->frames, ring_->maxFramesPerSlot());
        noteSlotFrames(frames);
        const int gapsBefore = assembler_.discontinuities();
        if (const float* first = sr_slot_plane_const(ring, slot, 0)) {
            splices_.process(std::span(first, frames));
        }
        const std::uint32_t present =
            std::min(static_cast<std::uint32_t>(std::max(channels_, 0)), slot->channels);
        for (std::size_t k = 0; k < planes_.size(); ++k) {
            const float* plane =
                k < present ? sr_slot_plane_const(ring, slot, static_cast<std::uint32_t>(k))
                            : nullptr;
            planes_[k] = std::span(plane != nullptr ? plane : silence_.data(), frames);
        }
        assembler_.push(slot->host_time_ns, static_cast<int>(frames),
                        std::span<const std::span<const float>>(planes_));
        if (assembler_.discontinuities() != gapsBefore) {
            splices_.discontinuity();
        }
        sr_ring_commit_read(ring);
        drained += frames;
    }
    framesDrained_ += drained;
    return drained;
}

// The first slot sets the size silently; a later size is reported once it has held for a
// few slots in a row.
void CapturePipeline::noteSlotFrames(std::uint32_t frames) {
    if (lastSlotFrames_ == 0) {
        lastSlotFrames_ = frames;
        return;
    }
    if (frames == lastSlotFrames_) {
        candidateSlots_ = 0;
        return;
    }
    if (frames != candidateSlotFrames_) {
        candidateSlotFrames_ = frames;
        candidateSlots_ = 0;
    }
    if (++candidateSlots_ < slotSizeSettlesAfter) {
        return;
    }
    notices_.post([old = lastSlotFrames_, frames] {
        HostLog::line("capture buffer: " + std::to_string(old) + " -> " + std::to_string(frames) +
                      " frames");
    });
    lastSlotFrames_ = frames;
    candidateSlots_ = 0;
}

void CapturePipeline::emitReadyChunks() {
    std::uint16_t bufferDelay = 0;
    {
        std::lock_guard guard(lock_);
        bufferDelay = bufferDelayMs_;
    }
    wanted_ = tiersWanted_ ? tiersWanted_() : TierSet{};
    while (auto chunk = assembler_.nextChunk()) {
        emitChunk(*chunk, bufferDelay);
        assembler_.recycle(std::move(*chunk));
    }
}

// Once per chunk: a streamed tier gets its encoder, another one lingers, then goes (at once
// while the sender sheds work).
void CapturePipeline::alignTiers() {
    streamed_ = streamedTiers();
    for (const QualityTier tier : QualityTier::allCases) {
        TierStream& stream = tiers_[static_cast<std::size_t>(tier.rawValue())];
        if (streamed_.contains(tier)) {
            stream.unwantedChunks = 0;
            if (!stream.encoder) {
                startTier(tier);
            }
        } else if (stream.encoder &&
                   (shedding_.warmOff || ++stream.unwantedChunks >= lingerChunks)) {
            stream.encoder.reset();
            stream.encodeFailing = false;
            stream.unwantedChunks = 0;
            sayLater([tier] { return "tier " + tier.label() + " encoder -"; });
        }
    }
}

// The wanted tiers, less the best `merged` of them; at least one stays. A guest whose
// stream is merged away is sent the nearest lower stream there is.
TierSet CapturePipeline::streamedTiers() const {
    int left = 0;
    for (const QualityTier tier : QualityTier::allCases) {
        left += wanted_.contains(tier) ? 1 : 0;
    }
    int merges = shedding_.merged;
    TierSet streamed;
    for (const QualityTier tier : QualityTier::allCases) {
        if (!wanted_.contains(tier)) {
            continue;
        }
        if (merges > 0 && left > 1) {
            --merges;
            --left;
            continue;
        }
        streamed.insert(tier);
    }
    return streamed;
}

void CapturePipeline::startTier(QualityTier tier) {
    TierStream& stream = tiers_[static_cast<std::size_t>(tier.rawValue())];
    auto created = encoderFactory_(channels_, tier.bitrate());
    if (!created) {
        // Tried again on every chunk while the tier is wanted, said once.
        if (!stream.creationFailing) {
            stream.creationFailing = true;
            sayLater([tier, failure = created.error()] {
                return "could not create an encoder for tier " + tier.label() + ": " +
                       failure.description();
            });
        }
        return;
    }
    stream.creationFailing = false;
    stream.encoder = std::move(*created);
    const std::size_t chunkSamples =
        static_cast<std::size_t>(channels_) * static_cast<std::size_t>(framesPerChunk_);
    for (int i = 0; i < historyCount_; ++i) {
        const int slot = (historyNext_ - historyCount_ + i + primingChunks) % primingChunks;
        (void)stream.encoder->encode(std::span(history_).subspan(
            static_cast<std::size_t>(slot) * chunkSamples, chunkSamples));
    }
    sayLater([tier, primed = historyCount_] {
        return "tier " + tier.label() + " encoder +" +
               (primed > 0 ? " (primed with " + std::to_string(primed) + " chunks)" : "");
    });
}

// Encodes the chunk on every tier that has an encoder and frames it for the wanted ones;
// returns the payload bytes framed. `anyWanted`: some wanted tier had an encoder.
std::int64_t CapturePipeline::encodeTiers(std::span<const float> pcm,
                                          const AudioChunkHeader& header, bool& anyWanted) {
    std::int64_t bytes = 0;
    anyWanted = false;
    for (const QualityTier tier : QualityTier::allCases) {
        TierStream& stream = tiers_[static_cast<std::size_t>(tier.rawValue())];
        if (!stream.encoder) {
            continue;
        }
        const auto packet = stream.encoder->encode(pcm);
        if (!streamed_.contains(tier)) {
            continue;  // lingering: encoded only to stay warm
        }
        anyWanted = true;
        if (!packet) {
            countEncodeFailure();
            if (!stream.encodeFailing) {
                stream.encodeFailing = true;
                sayLater([tier, failure = packet.error()] {
                    return "opus encode failed for tier " + tier.label() + ": " +
                           failure.description();
                });
            }
            continue;
        }
        stream.encodeFailing = false;
        bytes += static_cast<std::int64_t>(packet->size());
        frames_[tier] = FrameQueue::share(FrameEncoder::encodeAudioFrame(header, *packet));
    }
    return bytes;
}

void CapturePipeline::remember(std::span<const float> pcm) {
    std::copy(pcm.begin(), pcm.end(),
              history_.begin() +
                  static_cast<std::ptrdiff_t>(static_cast<std::size_t>(historyNext_) * pcm.size()));
    historyNext_ = (historyNext_ + 1) % primingChunks;
    historyCount_ = std::min(historyCount_ + 1, primingChunks);
}

void CapturePipeline::emitChunk(ChunkAssembler::Chunk& chunk, std::uint16_t bufferDelay) {
    const auto began = std::chrono::steady_clock::now();
    produceChunk(chunk, bufferDelay);
    judgeWork(std::chrono::steady_clock::now() - began);
}

void CapturePipeline::produceChunk(ChunkAssembler::Chunk& chunk, std::uint16_t bufferDelay) {
    if (assembler_.discontinuities() != lastDiscontinuities_) {
        lastDiscontinuities_ = assembler_.discontinuities();
        resampler_.reset();
    }
    resampler_.process(chunk.samples, chunk.frameCount, pcm_);
    const auto latencyNanos = static_cast<std::uint64_t>(
        static_cast<double>(resampler_.latencyInputFrames()) / tapSampleRate_ * 1e9);
    const std::size_t chunkSamples =
        static_cast<std::size_t>(channels_) * static_cast<std::size_t>(framesPerChunk_);
    if (pcm_.size() < chunkSamples) {
        countEncodeFailure();
        return;
    }
    const std::span<const float> pcm(pcm_.data(), chunkSamples);
    PCMConvert::levels(pcm, channels_, framesPerChunk_, levels_);
    if (channels_ == blackBoxChannels) {
        std::lock_guard guard(boxLock_);
        blackBox_.append(pcm);
    }

    const std::uint64_t hostTime =
        chunk.hostTimeNanos > latencyNanos ? chunk.hostTimeNanos - latencyNanos : 0;
    const AudioChunkHeader header{sequence_, hostTime, static_cast<std::uint32_t>(framesPerChunk_),
                                  bufferDelay};
    alignTiers();
    bool anyWanted = false;
    const std::int64_t chunkBytes = encodeTiers(pcm, header, anyWanted);
    remember(pcm);
    // A chunk no guest could be sent is not a chunk: its sequence number goes to the next.
    if (frames_.empty() && anyWanted) {
        return;
    }
    ++sequence_;
    std::int64_t encoders = 0;
    for (const TierStream& stream : tiers_) {
        encoders += stream.encoder ? 1 : 0;
    }
    {
        std::lock_guard guard(lock_);
        stats_.chunksProduced += 1;
        stats_.framesProduced += framesPerChunk_;
        stats_.peak = levels_.peak;
        stats_.rms = levels_.rms;
        stats_.ringOverruns = sr_ring_overruns(ring_->pointer());
        stats_.discontinuities = assembler_.discontinuities();
        stats_.ringDepth = sr_ring_depth(ring_->pointer());
        stats_.encodedBytes += chunkBytes;
        stats_.encoderCount = encoders;
        stats_.spliceRate = splices_.rate();
        stats_.shedding = shedding_.shedsWork();
    }
    if (const auto sink = sink_.lock()) {
        const std::uint64_t deadline =
            FrameQueue::playoutDeadlineNanos(hostTime, framesPerChunk_, outputRate, bufferDelay);
        sink->pipelineDidProduce(frames_, chunk, pcm, hostTime, deadline);
    }
    frames_.clear();
}

void CapturePipeline::judgeWork(std::chrono::nanoseconds work) {
    switch (budget_.note(work, shedding_.active())) {
        case SenderBudget::Verdict::steady:
            return;
        case SenderBudget::Verdict::shed:
            if (shed(work)) {
                std::lock_guard guard(lock_);
                stats_.workSheds += 1;
            }
            return;
        case SenderBudget::Verdict::restore:
            restore();
            return;
    }
}

// One step, the cheapest that is left; false when nothing was.
bool CapturePipeline::shed(std::chrono::nanoseconds work) {
    const double tookMs = static_cast<double>(work.count()) / 1e6;
    const auto overBudget = [tookMs] {
        char text[96];
        std::snprintf(text, sizeof text, "sender over budget: a chunk took %.1f ms of its %lld ms; ",
                      tookMs,
                      static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                 SenderBudget::budget)
                                                 .count()));
        return std::string(text);
    };
    bool warmOnly = false;
    std::optional<QualityTier> best;
    std::optional<QualityTier> next;
    for (const QualityTier tier : QualityTier::allCases) {
        const bool hasEncoder = tiers_[static_cast<std::size_t>(tier.rawValue())].encoder != nullptr;
        warmOnly = warmOnly || (hasEncoder && !streamed_.contains(tier));
        if (streamed_.contains(tier) && !best) {
            best = tier;
        } else if (streamed_.contains(tier) && !next) {
            next = tier;
        }
    }
    if (!shedding_.warmOff && warmOnly) {
        shedding_.warmOff = true;
        tellLater([overBudget] {
            return overBudget() + "the encoders kept warm for streams nobody is on are let go";
        });
        return true;
    }
    if (best && next) {
        shedding_.warmOff = true;
        ++shedding_.merged;
        tellLater([overBudget, from = *best, to = *next] {
            return overBudget() + "the " + from.label() + " stream's guests get " + to.label() +
                   " until it has time again";
        });
        return true;
    }
    if (!shedding_.exhausted) {
        shedding_.exhausted = true;
        tellLater([overBudget] { return overBudget() + "nothing is left to shed"; });
    }
    return false;
}

void CapturePipeline::restore() {
    const bool anyShed = shedding_.shedsWork();
    shedding_ = {};
    if (anyShed) {
        tellLater([seconds = budget_.calmNeeded() * framesPerChunk_ / outputRate] {
            return "sender within budget for " + std::to_string(seconds) +
                   " s: every tier stream is back";
        });
    }
}

void CapturePipeline::countEncodeFailure() {
    std::lock_guard guard(lock_);
    stats_.encodeFailures += 1;
}

void CapturePipeline::updateDiagnosis() {
    bool audioPresent = false;
    {
        std::lock_guard guard(lock_);
        audioPresent = std::any_of(stats_.peak.begin(), stats_.peak.end(),
                                   [](float peak) { return peak != 0.0f; });
    }
    const std::uint64_t writes = sr_ring_writes(ring_->pointer());
    const bool deliveriesSeen = writes > 0;
    // The output's state only matters to silence that capture delivers; asking for it on
    // every pass would cost a query of the sound layer every 5 ms.
    const bool outputRunning =
        deliveriesSeen && !audioPresent && outputRunning_ && outputRunning_();
    const auto diagnosis =
        watchdog_.evaluate({deliveriesSeen, audioPresent, outputRunning}, WallClock::now());
    std::lock_guard guard(lock_);
    stats_.diagnosis = diagnosis;
    stats_.ioProcDeliveries = writes;
}

CapturePipeline::Stats CapturePipeline::stats() const {
    std::lock_guard guard(lock_);
    return stats_;
}

std::uint16_t CapturePipeline::bufferDelayMs() const {
    std::lock_guard guard(lock_);
    return bufferDelayMs_;
}

void CapturePipeline::setBufferDelayMs(std::int64_t milliseconds) {
    if (milliseconds < 0 || milliseconds > 65535) {
        return;
    }
    std::lock_guard guard(lock_);
    bufferDelayMs_ = static_cast<std::uint16_t>(milliseconds);
}

std::optional<std::filesystem::path> CapturePipeline::dumpBlackBox(std::string_view reason) {
    return dumpBlackBox(reason, HostLog::logFolder());
}

std::optional<std::filesystem::path> CapturePipeline::dumpBlackBox(
    std::string_view reason, const std::filesystem::path& folder) {
    std::vector<float> samples;
    std::int64_t rate = 0;
    std::int64_t channels = 0;
    {
        std::lock_guard guard(boxLock_);
        samples = blackBox_.snapshot();
        rate = blackBox_.sampleRate();
        channels = blackBox_.channels();
    }
    return BlackBoxDump::write(folder, samples, rate, channels, reason, std::time(nullptr),
                               blackBoxesKept);
}

void CapturePipeline::log(const std::string& line) const {
    if (diagnosticLog_) {
        diagnosticLog_(line);
    }
}

void CapturePipeline::tellLater(std::function<std::string()> line) {
    notices_.post([weak = weak_from_this(), line = std::move(line)] {
        const std::string text = line();
        HostLog::line(text);
        if (const auto self = weak.lock()) {
            self->log(text);
        }
    });
}

void CapturePipeline::sayLater(std::function<std::string()> line) {
    notices_.post([weak = weak_from_this(), line = std::move(line)] {
        if (const auto self = weak.lock()) {
            self->log(line());
        }
    });
}

}  // namespace zoranth
