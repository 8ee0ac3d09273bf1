#include "host/capture/tap_session.h"

#include <pthread.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string_view>
#include <utility>

#include "host/diagnostic_log.h"
#include "host/wall_clock.h"

namespace zoranth {
namespace {

constexpr std::string_view category = "tap";
constexpr std::uint32_t maxCaptureChannels = 8;

void logLine(const std::string& text) {
    DiagnosticLog::write(category, text);
}

SoundServerError failureOf(const PulseError& error) {
    return SoundServerError{error.code, error.operation};
}

std::string changeText(PulseCapture::Change change) {
    switch (change) {
        case PulseCapture::Change::moved:
            return "the stream was moved";
        case PulseCapture::Change::defaultSinkChanged:
            return "the default output changed";
        case PulseCapture::Change::formatChanged:
            return "the output's channel layout changed";
        case PulseCapture::Change::streamLost:
            return "the stream was lost";
        case PulseCapture::Change::connectionLost:
            return "the capture lost the sound server";
        case PulseCapture::Change::connectionRestored:
            return "the capture is back";
    }
    return "unknown";
}

constexpr unsigned bitOf(PulseCapture::Change change) {
    return 1u << static_cast<unsigned>(change);
}

// The changes that tell the owner to read the format again.
constexpr unsigned formatChanges =
    bitOf(PulseCapture::Change::moved) | bitOf(PulseCapture::Change::defaultSinkChanged) |
    bitOf(PulseCapture::Change::formatChanged) | bitOf(PulseCapture::Change::streamLost);

// A CLOCK_MONOTONIC time as WallClock seconds, by their distance from now.
double wallClockOf(std::uint64_t monotonicNanos) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const auto nowNanos = static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
    return WallClock::now() -
           static_cast<double>(nowNanos - static_cast<std::int64_t>(monotonicNanos)) * 1e-9;
}

// A capture's own losses, on top of what the captures before it left.
TapSession::Connection combined(const TapSession::Connection& before,
                                const PulseCapture::Connection& live) {
    if (live.losses == 0) {
        return before;
    }
    TapSession::Connection connection;
    connection.lost = live.lost;
    connection.losses = before.losses + live.losses;
    connection.lostSince = wallClockOf(live.lostSinceNanos);
    if (!live.lost) {
        connection.backAfter = static_cast<double>(live.lostForNanos) * 1e-9;
    }
    connection.error = live.cause.text();
    connection.lastAttemptError = live.lastAttempt.text();
    connection.attempts = live.attempts;
    return connection;
}

std::string secondsText(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", seconds);
    return text;
}

TapFormat formatOf(std::uint32_t rate, std::uint32_t channels) {
    return TapFormat{static_cast<double>(rate), static_cast<int>(channels), false, true, 32};
}

}  // namespace

void TapSession::deliverToRing(void* context, const CaptureDelivery& delivery) {
    const auto* target = static_cast<const RingTarget*>(context);
    sr_ring* ring = target->ring;
    sr_ring_note_call(ring);
    sr_ring_note_shape(ring, 1, delivery.bytes, delivery.channels);

    const std::uint32_t k = delivery.channels >= 2 ? delivery.channels : 1;
    const std::uint32_t samples = delivery.bytes / 4;
    const std::uint32_t frames = samples / k;
    if (samples < k || frames > target->frameLimit) {
        sr_ring_note_overrun(ring);
        return;
    }
    sr_slot* slot = sr_ring_begin_write(ring);
    if (slot == nullptr) {
        sr_ring_note_overrun(ring);
        return;
    }
    slot->host_time_ns = delivery.hostTimeNanos;
    slot->frames = frames;
    slot->channels = target->channels;
    slot->flags = 0;

    const std::uint32_t planes = std::min(target->channels, target->ringChannels);
    const float* data = delivery.samples;
    for (std::uint32_t i = 0; i < planes; ++i) {
        float* plane = sr_slot_plane(ring, slot, i);
        if (data == nullptr) {
            std::memset(plane, 0, static_cast<std::size_t>(frames) * sizeof(float));
            continue;
        }
        // Channels beyond the delivery's own repeat its last one.
        const float* source = data + std::min(i, k - 1);
        for (std::uint32_t j = 0; j < frames; ++j) {
            plane[j] = source[static_cast<std::size_t>(j) * k];
        }
    }
    sr_ring_commit_write(ring);
}

std::shared_ptr<TapSession> TapSession::create() {
    return std::make_shared<TapSession>(Key{});
}

TapSession::TapSession(Key) : notifierThread_([notifier = notifier_] { notifier->run(); }) {}

TapSession::~TapSession() {
    stop();
    {
        std::lock_guard lock(notifier_->mutex);
        notifier_->stopping = true;
    }
    notifier_->wake.notify_all();
    if (notifierThread_.joinable()) {
        // The last reference may be dropped by the format-change callback itself.
        if (notifierThread_.get_id() == std::this_thread::get_id()) {
            notifierThread_.detach();
        } else {
            notifierThread_.join();
        }
    }
}

std::shared_ptr<PulseCapture> TapSession::capture() const {
    std::lock_guard lock(stateMutex_);
    return capture_;
}

std::expected<TapFormat, TapSession::Failure> TapSession::start(std::shared_ptr<CaptureRing> ring) {
    {
        std::lock_guard lock(stateMutex_);
        if (isRunning_) {
            return std::unexpected(HostError{HostError::Case::alreadyRunning});
        }
    }
    // Any capture left by a failed start goes first: one producer per ring.
    stop();

    auto target = std::make_unique<RingTarget>(
        RingTarget{ring->pointer(), ring->maxFramesPerSlot(), ring->maxChannels(), 0});
    PulseCapture::Config config;
    config.streamName = "Zoranth Tap";
    config.maxChannels = maxCaptureChannels;
    config.maxFramesPerDelivery = ring->maxFramesPerSlot();
    config.deliver = &TapSession::deliverToRing;
    config.deliverContext = target.get();
    config.onChange = [notifier = notifier_](PulseCapture::Change change) {
        notifier->note(change);
    };
    auto capture = std::make_shared<PulseCapture>(std::move(config));
    {
        std::lock_guard lock(stateMutex_);
        capture_ = capture;
        ring_ = ring;
        target_ = std::move(target);
    }
    RingTarget& installed = *target_;

    if (auto connected = capture->connect(); !connected) {
        return std::unexpected(failureOf(connected.error()));
    }
    auto sink = capture->defaultSink();
    if (!sink) {
        return std::unexpected(failureOf(sink.error()));
    }
    // C is fixed before the first delivery; a later channel change repeats or drops
    // channels until the owner rebuilds the session.
    installed.channels = std::min(sink->channels, maxCaptureChannels);
    auto stream = capture->openStream(*sink);
    if (!stream) {
        return std::unexpected(failureOf(stream.error()));
    }
    logLine("created tap " + std::to_string(stream->index));
    if (stream->rate == 0 || stream->channels == 0) {
        return std::unexpected(HostError{HostError::Case::tapFormatUnavailable});
    }
    const TapFormat format = formatOf(stream->rate, stream->channels);
    logLine("tap format: " + format.text());
    logLine("created capture stream " + std::to_string(stream->sourceIndex));
    logLine("capture source: " + stream->sourceName + " of " + describe(std::optional(*sink)));
    {
        std::lock_guard lock(stateMutex_);
        format_ = format;
        bufferFrameSize_ = stream->fragmentFrames;
    }
    logLine("capture fragment: " + std::to_string(stream->fragmentFrames));
    logLine("capture callback installed on stream " + std::to_string(stream->index));

    if (auto watching = capture->watchChanges(); !watching) {
        return std::unexpected(failureOf(watching.error()));
    }

    const auto live = capture->streamInfo();
    const int running = live && !live->suspended ? 1 : 0;
    const int alive = live ? 1 : 0;
    const long inputBuffers = live ? 1 : -1;  // one interleaved buffer per delivery
    const long tapStreams = live ? 1 : -1;
    logLine("post-start: capture running=" + std::to_string(running) + "             alive=" +
            std::to_string(alive) + " inputBuffers=" + std::to_string(inputBuffers) +
            "             tapStreams=" + std::to_string(tapStreams));
    notifier_->setListening(true, capture);
    std::lock_guard lock(stateMutex_);
    isRunning_ = true;
    diagnostics_ = "capture running=" + std::to_string(running) +
                   " alive=" + std::to_string(alive) +
                   " inputBuffers=" + std::to_string(inputBuffers) +
                   " tapStreams=" + std::to_string(tapStreams);
    return format;
}

void TapSession::stop() {
    notifier_->setListening(false);
    std::shared_ptr<PulseCapture> capture;
    {
        std::lock_guard lock(stateMutex_);
        capture = std::move(capture_);
        capture_.reset();
        isRunning_ = false;
    }
    if (capture) {
        // Unmutes, then closes the stream: once this returns nothing writes to the ring.
        capture->close();
    }
    std::lock_guard lock(stateMutex_);
    ring_.reset();
    if (capture) {
        ended_ = combined(ended_, capture->connection());
        if (ended_.lost) {
            ended_.lost = false;
            ended_.backAfter = WallClock::now() - ended_.lostSince;
        }
    }
}

TapSession::Connection TapSession::connection() const {
    const auto capture = this->capture();
    const auto live = capture ? capture->connection() : PulseCapture::Connection{};
    std::lock_guard lock(stateMutex_);
    return combined(ended_, live);
}

std::vector<TapSession::OutageWatch::Notice> TapSession::OutageWatch::update(
    const Connection& connection, double now) {
    std::vector<Notice> notices;
    if (connection.losses > seenLosses_) {
        seenLosses_ = connection.losses;
        backTold_ = false;
        longTold_ = false;
        notices.push_back({Notice::Kind::lost, 0, connection.error});
    }
    if (connection.lost && !longTold_ && now - connection.lostSince >= longLossSeconds) {
        longTold_ = true;
        notices.push_back(
            {Notice::Kind::stillLost, now - connection.lostSince,
             connection.lastAttemptError.empty() ? connection.error : connection.lastAttemptError});
    }
    if (!connection.lost && !backTold_ && connection.backAfter) {
        backTold_ = true;
        longTold_ = true;
        notices.push_back({Notice::Kind::back, *connection.backAfter, {}});
    }
    return notices;
}

bool TapSession::refresh() {
    const auto capture = this->capture();
    if (!capture || !capture->streamInfo()) {
        return false;
    }
    std::int64_t count = 0;
    {
        std::lock_guard lock(stateMutex_);
        count = ++refreshes_;
    }
    const bool renamed = capture->rename("Zoranth Tap " + std::to_string(count));
    return capture->resync() && renamed;
}

bool TapSession::setTapMuted(bool muted) {
    const auto capture = this->capture();
    if (!capture) {
        return false;
    }
    if (!capture->streamInfo()) {
        logLine("could not read tap description: " + std::to_string(SoundServerError::noEntity));
        return false;
    }
    auto result = capture->setMuted(muted);
    if (!result) {
        const bool reading = result.error().operation.starts_with("pa_context_get_");
        logLine(
            std::string(reading ? "could not read tap description: " : "could not set tap mute: ") +
            std::to_string(result.error().code));
        return false;
    }
    logLine(std::string("tap mute -> ") + (muted ? "true" : "false"));
    logLine("tap mute: moved " + std::to_string(result->movedInputs) + " streams " +
            (muted ? "to " : "back from ") + result->sinkName);
    return true;
}

bool TapSession::isTapMuted() const {
    const auto capture = this->capture();
    return capture && capture->isMuted();
}

std::optional<TapFormat> TapSession::liveFormat() const {
    const auto capture = this->capture();
    if (!capture) {
        return std::nullopt;
    }
    const auto info = capture->streamInfo();
    if (!info || info->rate == 0 || info->channels == 0) {
        return std::nullopt;
    }
    return formatOf(info->rate, info->channels);
}

std::string TapSession::describe(const std::optional<PulseOutputDevice>& device) {
    if (!device) {
        return "device 0, 0 Hz";
    }
    const std::string name = device->description.empty() ? "device " + std::to_string(device->index)
                                                         : device->description;
    return name + ", " + std::to_string(device->rate) + " Hz";
}

std::string TapSession::describeOutputDevice() {
    auto device = PulseOutputDevice::queryDefault();
    return describe(device ? std::optional(*device) : std::nullopt);
}

std::string TapSession::describe(const Failure& failure) {
    if (const auto* error = std::get_if<SoundServerError>(&failure)) {
        return error->description();
    }
    return std::string(std::get<HostError>(failure).description());
}

std::optional<TapFormat> TapSession::format() const {
    std::lock_guard lock(stateMutex_);
    return format_;
}

std::uint32_t TapSession::bufferFrameSize() const {
    std::lock_guard lock(stateMutex_);
    return bufferFrameSize_;
}

bool TapSession::isRunning() const {
    std::lock_guard lock(stateMutex_);
    return isRunning_;
}

std::string TapSession::diagnostics() const {
    std::lock_guard lock(stateMutex_);
    return diagnostics_;
}

std::int64_t TapSession::refreshes() const {
    std::lock_guard lock(stateMutex_);
    return refreshes_;
}

std::optional<PulseOutputDevice> TapSession::outputDevice() const {
    const auto capture = this->capture();
    return capture ? capture->outputDevice() : std::nullopt;
}

PulseCapture::Stats TapSession::captureStats() const {
    const auto capture = this->capture();
    return capture ? capture->stats() : PulseCapture::Stats{};
}

void TapSession::setOnFormatChange(std::function<void()> callback) {
    std::lock_guard lock(notifier_->mutex);
    notifier_->callback = std::move(callback);
}

// On the sound server's event thread: only hand over.
void TapSession::Notifier::note(PulseCapture::Change change) {
    {
        std::lock_guard lock(mutex);
        if (!listening) {
            return;
        }
        pendingChanges |= bitOf(change);
    }
    wake.notify_all();
}

void TapSession::Notifier::setListening(bool value, std::weak_ptr<PulseCapture> watched) {
    std::lock_guard lock(mutex);
    listening = value;
    capture = std::move(watched);
    pendingChanges = 0;
}

// The capture's own account of a loss or a return, for the log.
void TapSession::Notifier::logConnection(const std::shared_ptr<PulseCapture>& capture,
                                         unsigned changes) {
    if (!capture) {
        return;
    }
    const PulseCapture::Connection connection = capture->connection();
    if ((changes & bitOf(PulseCapture::Change::connectionLost)) != 0) {
        logLine("capture lost: " + connection.cause.text() + " (" + connection.cause.operation +
                "); reconnecting");
    }
    if ((changes & bitOf(PulseCapture::Change::connectionRestored)) == 0 || connection.lost) {
        return;
    }
    logLine("capture back after " +
            secondsText(static_cast<double>(connection.lostForNanos) * 1e-9) + " s, " +
            std::to_string(connection.attempts) + " attempts" +
            (connection.muteDropped ? "; the tap mute could not be re-applied" : ""));
}

// The owner's callback runs here, where it may call back into the session.
void TapSession::Notifier::run() {
    pthread_setname_np(pthread_self(), "zoranth-tapnote");
    std::unique_lock lock(mutex);
    for (;;) {
        wake.wait(lock, [this] { return pendingChanges != 0 || stopping; });
        if (stopping) {
            return;
        }
        const unsigned changes = std::exchange(pendingChanges, 0u);
        const std::function<void()> notify = callback;
        const auto watched = capture;
        lock.unlock();
        if ((changes & (bitOf(PulseCapture::Change::connectionLost) |
                        bitOf(PulseCapture::Change::connectionRestored))) != 0) {
            logConnection(watched.lock(), changes);
        }
        for (const auto change :
             {PulseCapture::Change::moved, PulseCapture::Change::defaultSinkChanged,
              PulseCapture::Change::formatChanged, PulseCapture::Change::streamLost}) {
            if ((changes & bitOf(change)) != 0) {
                logLine("format change: " + changeText(change));
            }
        }
        if (notify && (changes & formatChanges) != 0) {
            notify();
        }
        lock.lock();
    }
}

std::function<bool()> TapSession::outputRunningOf(const std::shared_ptr<TapSession>& session) {
    return [weak = std::weak_ptr(session)] {
        const auto session = weak.lock();
        if (!session) {
            return false;
        }
        const auto device = session->outputDevice();
        return device && device->running;
    };
}

}  // namespace zoranth
