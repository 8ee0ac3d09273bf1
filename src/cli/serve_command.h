// Serve mode: a whole rave from a terminal. ServeCommand is also the capture
// pipeline's sink for every rave, the window's included: it hands each chunk to the
// broadcast server, tracks the beats (the external beat helper once it is ready, the
// built-in tracker otherwise) and keeps the beat-rate canary the capture recovery reads.
// run() and localAddresses() belong to the main thread; the sink runs on the
// pipeline's sender thread; captureCanary() and resetCanary() may be called anywhere.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "host/capture/capture_pipeline.h"
#include "host/net/broadcast_server.h"
#include "kit/beat_rate_canary.h"
#include "kit/beat_tracker.h"
#include "protocol/wire_format.h"

namespace zoranth {

class BeatHelper;

class ServeCommand : public CapturePipeline::Sink,
                     public std::enable_shared_from_this<ServeCommand> {
    struct Key {};

  public:
    // What the canary says while the beat helper runs.
    struct CaptureCanary {
        std::optional<double> beatsPerSecond;
        bool suspect = false;
    };

    // The name serve mode advertises; empty means this computer's name. Written once
    // while the arguments are parsed, read afterwards.
    static inline std::string raveName;

    static constexpr double sampleRate = 48000;
    static constexpr int framesPerChunk = 960;
    static constexpr double canaryWindowSeconds = 10.0;
    static constexpr double canarySuspectBeatsPerSecond = 5.0;
    static constexpr double beatReportSeconds = 10.0;

    // The sink over `server`, with the beat helper when one is installed and starts.
    static std::shared_ptr<ServeCommand> create(std::shared_ptr<BroadcastServer> server);
    // The sink with the given helper (none: the built-in tracker only).
    static std::shared_ptr<ServeCommand> create(std::shared_ptr<BroadcastServer> server,
                                                std::shared_ptr<BeatHelper> helper);
    ServeCommand(Key, std::shared_ptr<BroadcastServer> server, std::shared_ptr<BeatHelper> helper);
    ~ServeCommand() override;
    ServeCommand(const ServeCommand&) = delete;
    ServeCommand& operator=(const ServeCommand&) = delete;

    // The whole terminal run; returns the exit status. `port` 0 takes any free port.
    static int run(std::uint16_t port, std::uint16_t delayMs, std::optional<double> seconds);

    void pipelineDidProduce(CapturePipeline::Packets& packets, const ChunkAssembler::Chunk& chunk,
                            std::span<const float> pcm, std::uint64_t hostTimeNanos,
                            std::uint64_t deadlineNanos) override;

    // Present only while the beat helper runs: then its beat rate over the canary's
    // window, and whether that rate is one no music has.
    std::optional<CaptureCanary> captureCanary() const;
    // Forgets the beats the canary holds (after the capture was rebuilt).
    void resetCanary();

    // The IPv4 addresses of every interface that is up and not a loopback, in
    // interface order, without repeats; empty when the list cannot be read.
    static std::vector<std::string> localAddresses();

    // The built-in tracker's beat as it goes on the wire.
    static Beat wireBeat(const BeatTracker::Beat& beat);
    // "beats: 128.0 BPM  confidence 0.50  bar found  sent 12"
    static std::string beatReport(const BeatTracker& tracker, std::int64_t beatsSent);
    // The hello every guest gets for a pipeline with these channels and buffer delay.
    static Hello helloFor(int channels, std::uint16_t bufferDelayMs);

    std::int64_t beatsSent() const { return beatsSent_; }
    const std::shared_ptr<BeatHelper>& helper() const { return helper_; }

  private:
    void connectHelper();
    void trackBeats(std::span<const float> pcm, std::uint64_t hostTimeNanos);
    bool helperIsReady() const;

    const std::shared_ptr<BroadcastServer> server_;
    const std::shared_ptr<BeatHelper> helper_;

    // The sender thread's own.
    BeatTracker beats_{sampleRate};
    std::int64_t beatsSent_ = 0;
    double lastBeatReport_ = 0;
    BroadcastServer::Packets packets_;

    mutable std::mutex canaryLock_;  // canary_
    BeatRateCanary canary_{canaryWindowSeconds, canarySuspectBeatsPerSecond};
};

}  // namespace zoranth
