#include "host/session/broadcast_sink.h"

#include <algorithm>
#include <cmath>

#include "host/beats/beat_helper.h"
#include "host/wall_clock.h"
#include "kit/format_text.h"
#include "kit/frame_queue.h"
#include "protocol/frame_encoder.h"

namespace zoranth {

std::shared_ptr<BroadcastSink> BroadcastSink::create(std::shared_ptr<BroadcastServer> server,
                                                     Log log) {
    auto helper = BeatHelper::start();
    if (!helper) {
        log("beat helper: not installed; using the built-in tracker");
    }
    return create(std::move(server), helper ? *helper : nullptr, std::move(log));
}

std::shared_ptr<BroadcastSink> BroadcastSink::create(std::shared_ptr<BroadcastServer> server,
                                                     std::shared_ptr<BeatHelper> helper, Log log) {
    auto sink = std::make_shared<BroadcastSink>(Key{}, std::move(server), std::move(helper),
                                                std::move(log));
    sink->connectHelper();
    return sink;
}

BroadcastSink::BroadcastSink(Key, std::shared_ptr<BroadcastServer> server,
                             std::shared_ptr<BeatHelper> helper, Log log)
    : server_(std::move(server)), helper_(std::move(helper)), log_(std::move(log)) {}

BroadcastSink::~BroadcastSink() {
    if (helper_) {
        helper_->stopReading();
        helper_->terminate();
    }
}

void BroadcastSink::connectHelper() {
    if (!helper_) {
        return;
    }
    helper_->setOnFrame([weakServer = std::weak_ptr(server_)](std::vector<std::uint8_t> frame) {
        if (const auto server = weakServer.lock()) {
            server->sendControl(FrameQueue::share(std::move(frame)));
        }
    });
    helper_->setOnBeat([weak = weak_from_this()](std::uint64_t hostTimeNanos) {
        if (const auto self = weak.lock()) {
            std::lock_guard guard(self->canaryLock_);
            self->canary_.note(hostTimeNanos);
        }
    });
}

void BroadcastSink::pipelineDidProduce(CapturePipeline::Packets& packets,
                                       const ChunkAssembler::Chunk&, std::span<const float> pcm,
                                       std::uint64_t hostTimeNanos, std::uint64_t deadlineNanos) {
    const double now = WallClock::now();
    for (CapturePipeline::Packet& packet : packets) {
        packets_[packet.guest] = FrameQueue::share(std::move(packet.frame));
    }
    server_->broadcast(packets_, deadlineNanos, now);
    packets_.clear();
    trackBeats(pcm, hostTimeNanos);
}

bool BroadcastSink::helperIsReady() const {
    if (!helper_) {
        return false;
    }
    const BeatHelper::Status status = helper_->status();
    return status.alive && status.ready && helper_->isProcessRunning();
}

void BroadcastSink::trackBeats(std::span<const float> pcm, std::uint64_t hostTimeNanos) {
    if (pcm.size() < static_cast<std::size_t>(framesPerChunk)) {
        return;
    }
    const int channels = static_cast<int>(pcm.size() / framesPerChunk);
    if (helperIsReady()) {
        helper_->feed(pcm, channels, framesPerChunk, hostTimeNanos);
        return;
    }
    for (const BeatTracker::Beat& beat :
         beats_.process(pcm, channels, framesPerChunk, hostTimeNanos)) {
        server_->sendControl(FrameQueue::share(FrameEncoder::encode(wireBeat(beat))));
        beatsSent_.fetch_add(1, std::memory_order_relaxed);
    }
    bpm_.store(beats_.bpm().value_or(0), std::memory_order_relaxed);
    confidence_.store(beats_.confidence(), std::memory_order_relaxed);
    barFound_.store(beats_.downbeatPhase().has_value(), std::memory_order_relaxed);
    trackingBuiltIn_.store(true, std::memory_order_release);
}

std::optional<std::string> BroadcastSink::dueBeatReport(double now) {
    if (!trackingBuiltIn_.load(std::memory_order_acquire) ||
        now - lastBeatReport_ < beatReportSeconds) {
        return std::nullopt;
    }
    lastBeatReport_ = now;
    const double bpm = bpm_.load(std::memory_order_relaxed);
    return beatReport(bpm > 0 ? std::optional(bpm) : std::nullopt,
                      confidence_.load(std::memory_order_relaxed),
                      barFound_.load(std::memory_order_relaxed), beatsSent());
}

Beat BroadcastSink::wireBeat(const BeatTracker::Beat& beat) {
    Beat wire;
    wire.hostTimeNanos = beat.hostTimeNanos;
    wire.isDownbeat = beat.isDownbeat();
    wire.beatInBar = static_cast<std::uint8_t>(std::clamp(beat.beatInBar, 0, 255));
    wire.bpmCenti =
        static_cast<std::uint16_t>(std::clamp(std::round(beat.bpm * 100), 0.0, 65535.0));
    wire.confidence =
        static_cast<std::uint8_t>(std::clamp(std::round(beat.confidence * 255), 0.0, 255.0));
    return wire;
}

std::string BroadcastSink::beatReport(const BeatTracker& tracker, std::int64_t beatsSent) {
    return beatReport(tracker.bpm(), tracker.confidence(), tracker.downbeatPhase().has_value(),
                      beatsSent);
}

std::string BroadcastSink::beatReport(std::optional<double> bpm, double confidence, bool barFound,
                                      std::int64_t beatsSent) {
    const std::string tempo = bpm ? formatText("%.1f BPM", *bpm) : "no tempo";
    return formatText("beats: %s  confidence %.2f  bar %s  sent %lld", tempo.c_str(), confidence,
                      barFound ? "found" : "not yet", static_cast<long long>(beatsSent));
}

Hello BroadcastSink::helloFor(int channels, std::uint16_t bufferDelayMs) {
    Hello hello;
    hello.sampleRate = static_cast<std::uint32_t>(sampleRate);
    hello.channels = static_cast<std::uint8_t>(channels);
    hello.bitsPerSample = 16;
    hello.framesPerChunk = framesPerChunk;
    hello.bufferDelayMs = bufferDelayMs;
    return hello;
}

std::optional<BroadcastSink::CaptureCanary> BroadcastSink::captureCanary() const {
    if (!helper_ || !helper_->status().alive || !helper_->isProcessRunning()) {
        return std::nullopt;
    }
    std::lock_guard guard(canaryLock_);
    return CaptureCanary{canary_.beatsPerSecond(), canary_.isSuspect()};
}

void BroadcastSink::resetCanary() {
    std::lock_guard guard(canaryLock_);
    canary_.reset();
}

}  // namespace zoranth
