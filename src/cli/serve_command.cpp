#include "cli/serve_command.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>

#include "cli/capture_start.h"
#include "cli/serve_report.h"
#include "cli/stop_signals.h"
#include "host/beat_helper.h"
#include "host/capture/tap_session.h"
#include "host/host_log.h"
#include "host/net/network_watch.h"
#include "host/wall_clock.h"
#include "kit/format_text.h"
#include "kit/frame_queue.h"
#include "protocol/frame_encoder.h"

namespace zoranth {
namespace {

constexpr double registrationWaitSeconds = 4.0;
constexpr auto registrationPoll = std::chrono::milliseconds(50);
constexpr auto statusPoll = std::chrono::milliseconds(250);
constexpr double statusEverySeconds = 2.0;

void line(const std::string& text) {
    HostLog::line(text);
}

void lines(const std::vector<std::string>& texts) {
    for (const std::string& text : texts) {
        line(text);
    }
}

// Everything a run set up, torn down in the order the run needs: the pipeline before
// the server it feeds, the server before the capture, the network watch last.
struct Rave {
    std::shared_ptr<NetworkWatch> permission;
    std::shared_ptr<TapSession> session;
    std::shared_ptr<CapturePipeline> pipeline;
    std::shared_ptr<BroadcastServer> server;
    std::shared_ptr<ServeCommand> sink;

    ~Rave() {
        if (pipeline) {
            pipeline->stop();
        }
        if (server) {
            server->stop();
        }
        if (session) {
            session->stop();
        }
        if (permission) {
            permission->cancel();
        }
    }
};

std::shared_ptr<NetworkWatch> watchLocalNetwork() {
    auto permission = std::make_shared<NetworkWatch>();
    permission->setOnChange([](const NetworkWatch::Status& status) {
        if (status.kind == NetworkWatch::Status::Case::unavailable) {
            line("");
            line(NetworkWatch::unavailableWarning(status));
        }
    });
    permission->start();
    return permission;
}

std::function<CapturePipeline::Bitrates()> bitratesOf(
    const std::shared_ptr<BroadcastServer>& server) {
    return [weak = std::weak_ptr(server)] {
        const auto server = weak.lock();
        return server ? server->guestBitrates() : CapturePipeline::Bitrates{};
    };
}

// When the capture's format or output changes, every guest is told the stream anew.
void reannounceOnFormatChange(Rave& rave) {
    rave.session->setOnFormatChange([weakSession = std::weak_ptr(rave.session),
                                     weakServer = std::weak_ptr(rave.server),
                                     weakPipeline = std::weak_ptr(rave.pipeline)] {
        const auto session = weakSession.lock();
        const auto server = weakServer.lock();
        const auto pipeline = weakPipeline.lock();
        if (!session || !server || !pipeline) {
            return;
        }
        const auto live = session->liveFormat();
        line("tap format changed: " + (live ? live->text() : std::string("?")) + ", output " +
             TapSession::describeOutputDevice() + "; re-announcing to clients");
        server->updateFormat(
            ServeCommand::helloFor(pipeline->channels(), pipeline->bufferDelayMs()));
    });
}

void waitForRegistration(const BroadcastServer& server) {
    const double until = WallClock::now() + registrationWaitSeconds;
    while (WallClock::now() < until && !(server.port() != 0 && server.advertisedName())) {
        std::this_thread::sleep_for(registrationPoll);
    }
}

void reportGuests(BroadcastServer& server) {
    server.snapshots([](std::vector<ClientConnection::Snapshot> guests) {
        for (const auto& guest : guests) {
            line(ServeReport::guestLine(guest));
        }
    });
}

// Until the stop signal or the duration; a status line every two seconds.
void statusLoop(Rave& rave, std::optional<double> seconds, const StopSignals& stop) {
    const double start = WallClock::now();
    double lastReport = start;
    for (;;) {
        std::this_thread::sleep_for(statusPoll);
        const double now = WallClock::now();
        const double elapsed = now - start;
        if (seconds && elapsed >= *seconds) {
            return;
        }
        if (now - lastReport >= statusEverySeconds) {
            lastReport = now;
            line(ServeReport::statusLine(elapsed, rave.pipeline->stats(),
                                         rave.server->clientCount()));
            reportGuests(*rave.server);
        }
        if (stop.stopRequested()) {
            return;
        }
    }
}

// The capture delivered up to the moment the pipeline stopped, the partial chunk
// padded with silence: the last fraction of audio reaches the guests too.
void flush(CapturePipeline& pipeline) {
    pipeline.stop();
    pipeline.drainRing();
    pipeline.assembler().flushPartialAsZeroPadded();
    pipeline.emitReadyChunks();
}

}  // namespace

std::shared_ptr<ServeCommand> ServeCommand::create(std::shared_ptr<BroadcastServer> server) {
    auto helper = BeatHelper::start();
    if (!helper) {
        line("beat helper: not installed; using the built-in tracker");
    }
    return create(std::move(server), helper ? *helper : nullptr);
}

std::shared_ptr<ServeCommand> ServeCommand::create(std::shared_ptr<BroadcastServer> server,
                                                   std::shared_ptr<BeatHelper> helper) {
    auto sink = std::make_shared<ServeCommand>(Key{}, std::move(server), std::move(helper));
    sink->connectHelper();
    return sink;
}

ServeCommand::ServeCommand(Key, std::shared_ptr<BroadcastServer> server,
                           std::shared_ptr<BeatHelper> helper)
    : server_(std::move(server)), helper_(std::move(helper)) {}

ServeCommand::~ServeCommand() {
    if (helper_) {
        helper_->stopReading();
        helper_->terminate();
    }
}

void ServeCommand::connectHelper() {
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

void ServeCommand::pipelineDidProduce(CapturePipeline::Packets& packets,
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

bool ServeCommand::helperIsReady() const {
    if (!helper_) {
        return false;
    }
    const BeatHelper::Status status = helper_->status();
    return status.alive && status.ready && helper_->isProcessRunning();
}

void ServeCommand::trackBeats(std::span<const float> pcm, std::uint64_t hostTimeNanos) {
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
        ++beatsSent_;
    }
    const double now = WallClock::now();
    if (now - lastBeatReport_ >= beatReportSeconds) {
        lastBeatReport_ = now;
        line(beatReport(beats_, beatsSent_));
    }
}

Beat ServeCommand::wireBeat(const BeatTracker::Beat& beat) {
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

std::string ServeCommand::beatReport(const BeatTracker& tracker, std::int64_t beatsSent) {
    const std::string tempo = tracker.bpm() ? formatText("%.1f BPM", *tracker.bpm()) : "no tempo";
    return formatText("beats: %s  confidence %.2f  bar %s  sent %lld", tempo.c_str(),
                      tracker.confidence(), tracker.downbeatPhase() ? "found" : "not yet",
                      static_cast<long long>(beatsSent));
}

Hello ServeCommand::helloFor(int channels, std::uint16_t bufferDelayMs) {
    Hello hello;
    hello.sampleRate = static_cast<std::uint32_t>(sampleRate);
    hello.channels = static_cast<std::uint8_t>(channels);
    hello.bitsPerSample = 16;
    hello.framesPerChunk = framesPerChunk;
    hello.bufferDelayMs = bufferDelayMs;
    return hello;
}

std::optional<ServeCommand::CaptureCanary> ServeCommand::captureCanary() const {
    if (!helper_ || !helper_->status().alive || !helper_->isProcessRunning()) {
        return std::nullopt;
    }
    std::lock_guard guard(canaryLock_);
    return CaptureCanary{canary_.beatsPerSecond(), canary_.isSuspect()};
}

void ServeCommand::resetCanary() {
    std::lock_guard guard(canaryLock_);
    canary_.reset();
}

std::vector<std::string> ServeCommand::localAddresses() {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) {
        return {};
    }
    std::vector<std::string> addresses;
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        const bool usable = (entry->ifa_flags & IFF_UP) != 0 &&
                            (entry->ifa_flags & IFF_LOOPBACK) == 0 && entry->ifa_addr != nullptr &&
                            entry->ifa_addr->sa_family == AF_INET;
        if (!usable) {
            continue;
        }
        char host[NI_MAXHOST] = {};
        if (::getnameinfo(entry->ifa_addr, sizeof(sockaddr_in), host, sizeof host, nullptr, 0,
                          NI_NUMERICHOST) != 0 ||
            host[0] == '\0') {
            continue;
        }
        if (std::find(addresses.begin(), addresses.end(), host) == addresses.end()) {
            addresses.emplace_back(host);
        }
    }
    ::freeifaddrs(list);
    return addresses;
}

int ServeCommand::run(std::uint16_t port, std::uint16_t delayMs, std::optional<double> seconds) {
    line("");
    line("=== serve ===");
    Rave rave;
    rave.permission = watchLocalNetwork();

    auto capture = CaptureStart::begin();
    if (!capture) {
        return 1;
    }
    const auto& session = capture->session;
    rave.session = session;

    rave.pipeline = CapturePipeline::create(capture->ring, capture->format, framesPerChunk);
    rave.pipeline->setBufferDelayMs(delayMs);
    rave.pipeline->setOutputRunning(TapSession::outputRunningOf(session));
    rave.server = std::make_shared<BroadcastServer>(
        helloFor(rave.pipeline->channels(), rave.pipeline->bufferDelayMs()), raveName);
    rave.sink = create(rave.server);
    rave.pipeline->setSink(rave.sink);
    rave.pipeline->setGuestBitrates(bitratesOf(rave.server));
    line("output device: " + TapSession::describeOutputDevice());
    reannounceOnFormatChange(rave);

    const auto listening = BroadcastServer::listeningFor(port);
    if (!listening) {
        line("FAILED to listen: " + listening.error());
        return 1;
    }
    if (auto started = rave.server->start(*listening); !started) {
        line("FAILED to listen: " + started.error().text());
        return 1;
    }
    if (auto started = rave.pipeline->start(); !started) {
        line("FAILED to start the pipeline: " + started.error().description());
        return 1;
    }
    waitForRegistration(*rave.server);
    lines(ServeReport::announcement(rave.server->port(), rave.server->advertisedName(),
                                    localAddresses(), delayMs));

    {
        const StopSignals stop;
        statusLoop(rave, seconds, stop);
    }
    flush(*rave.pipeline);
    lines(ServeReport::summary(rave.pipeline->stats()));
    return 0;
}

}  // namespace zoranth
