// The capture pipeline's sink for a rave: hands every produced chunk to the broadcast
// server, tracks the beats (the external beat helper once it is ready, the built-in
// tracker otherwise) and keeps the beat-rate canary the capture recovery reads.
// pipelineDidProduce runs on the pipeline's sender thread, which formats nothing: the
// beats line is written by the rave's main thread (dueBeatReport); captureCanary() and
// resetCanary() may be called from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "host/capture/capture_pipeline.h"
#include "host/net/broadcast_server.h"
#include "kit/beat_rate_canary.h"
#include "kit/beat_tracker.h"
#include "protocol/wire_format.h"

namespace zoranth {

class BeatHelper;

class BroadcastSink : public CapturePipeline::Sink,
                      public std::enable_shared_from_this<BroadcastSink> {
    struct Key {};

  public:
    using Log = std::function<void(std::string_view)>;

    // What the canary says while the beat helper runs.
    struct CaptureCanary {
        std::optional<double> beatsPerSecond;
        bool suspect = false;
        friend bool operator==(const CaptureCanary&, const CaptureCanary&) = default;
    };

    static constexpr double sampleRate = 48000;
    static constexpr int framesPerChunk = 960;
    static constexpr double canaryWindowSeconds = 10.0;
    static constexpr double canarySuspectBeatsPerSecond = 5.0;
    static constexpr double beatReportSeconds = 10.0;

    // The sink over `server`, with the beat helper when one is installed and starts
    // (else it logs "beat helper: not installed; using the built-in tracker").
    static std::shared_ptr<BroadcastSink> create(std::shared_ptr<BroadcastServer> server, Log log);
    // The sink with the given helper (none: the built-in tracker only).
    static std::shared_ptr<BroadcastSink> create(std::shared_ptr<BroadcastServer> server,
                                                 std::shared_ptr<BeatHelper> helper, Log log);
    BroadcastSink(Key, std::shared_ptr<BroadcastServer> server, std::shared_ptr<BeatHelper> helper,
                  Log log);
    ~BroadcastSink() override;
    BroadcastSink(const BroadcastSink&) = delete;
    BroadcastSink& operator=(const BroadcastSink&) = delete;

    void pipelineDidProduce(CapturePipeline::Packets& packets, const ChunkAssembler::Chunk& chunk,
                            std::span<const float> pcm, std::uint64_t hostTimeNanos,
                            std::uint64_t deadlineNanos) override;

    // Present only while the beat helper runs: then its beat rate over the canary's
    // window, and whether that rate is one no music has.
    std::optional<CaptureCanary> captureCanary() const;
    // Forgets the beats the canary holds (after the capture was refreshed or rebuilt).
    void resetCanary();

    // The main thread, on each refresh: "beats: …" when the built-in tracker is the one
    // tracking and ten seconds have passed since the last such line.
    std::optional<std::string> dueBeatReport(double now);

    // The built-in tracker's beat as it goes on the wire.
    static Beat wireBeat(const BeatTracker::Beat& beat);
    // "beats: 128.0 BPM  confidence 0.50  bar found  sent 12"
    static std::string beatReport(const BeatTracker& tracker, std::int64_t beatsSent);
    static std::string beatReport(std::optional<double> bpm, double confidence, bool barFound,
                                  std::int64_t beatsSent);
    // The hello every guest gets for a pipeline with these channels and buffer delay.
    static Hello helloFor(int channels, std::uint16_t bufferDelayMs);

    std::int64_t beatsSent() const { return beatsSent_.load(std::memory_order_relaxed); }
    const std::shared_ptr<BeatHelper>& helper() const { return helper_; }

  private:
    void connectHelper();
    void trackBeats(std::span<const float> pcm, std::uint64_t hostTimeNanos);
    bool helperIsReady() const;

    const std::shared_ptr<BroadcastServer> server_;
    const std::shared_ptr<BeatHelper> helper_;
    const Log log_;

    // The sender thread's own.
    BeatTracker beats_{sampleRate};
    BroadcastServer::Packets packets_;

    // What the built-in tracker knows, published by the sender thread for the beats line.
    std::atomic<bool> trackingBuiltIn_{false};
    std::atomic<double> bpm_{0};  // 0: no tempo yet
    std::atomic<double> confidence_{0};
    std::atomic<bool> barFound_{false};
    std::atomic<std::int64_t> beatsSent_{0};

    // The main thread's own.
    double lastBeatReport_ = 0;

    mutable std::mutex canaryLock_;  // canary_
    BeatRateCanary canary_{canaryWindowSeconds, canarySuspectBeatsPerSecond};
};

}  // namespace zoranth
