// The broadcast server over loopback, N guests that read everything.
//
// BM_FanOutEvery20ms: one ~330-byte audio frame every 20 ms, the same for every guest (all
// on one tier stream), for a bounded run; its guests are native (TCP byte stream) or
// browser guests (a WebSocket each, one frame per message), as the second argument says.
// Figures: host CPU per guest as a share of one core (the guests' reader excluded),
// frames lost to the budget or to deadlines (both must stay 0), and the delay from
// handing a frame to the server to its socket write completing (p50, p99).
//
// BM_CaptureToSocket: the whole road of a chunk in the host: a producer delivers 480-frame
// ring slots at the real 10 ms pace; the real pipeline encodes, the rave's sink hands the
// frames to the server, and the server's connections write them to the guests' sockets.
// Figures: p50 and p99 of the delay from the arrival of the slot that completes a chunk
// to the completed socket write of that chunk for the last of the N guests (and for the
// first, which tells the pipeline's part from the fan-out's), the share of
// chunks every guest received, the ring's overruns, and the host's CPU as a share of one
// core (the guests' reader excluded).
#include "host/net/broadcast_server.h"

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <future>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "host/capture/capture_pipeline.h"
#include "host/capture/capture_ring.h"
#include "host/host_log.h"
#include "host/session/broadcast_sink.h"
#include "host/wall_clock.h"
#include "protocol/frame_decoder.h"
#include "protocol/frame_encoder.h"
#include "protocol/mach_clock.h"

namespace zoranth {
namespace {

using namespace std::chrono_literals;

constexpr Hello stereo{48000, 2, 16, 960, 1500};
constexpr std::size_t packetBytes = 304;  // a 330-byte frame with its 26 header bytes
constexpr int framesPerRun = 150;         // 3 s of audio
constexpr auto chunkPeriod = 20ms;

double cpuSeconds(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// A native guest is put on the stream once it asks the time, as every real guest does at once.
void proveGuest(int fd) {
    const auto request = FrameEncoder::encode(TimeReq{1});
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(request.size())) {
        std::fprintf(stderr, "a guest's time request did not go out\n");
    }
}

int connectTo(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// A browser guest's opening: the page's WebSocket on /ws. The answer's head is read
// here; whatever follows it is the first WebSocket frames, left in `rest`.
bool openWebSocket(int fd, std::vector<std::uint8_t>& rest) {
    const std::string request =
        "GET /ws HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(request.size())) {
        return false;
    }
    std::string head;
    char byte = 0;
    while (!head.ends_with("\r\n\r\n")) {
        if (::recv(fd, &byte, 1, 0) != 1) {
            return false;
        }
        head += byte;
    }
    rest.clear();
    return head.starts_with("HTTP/1.1 101");
}

// The payloads of the complete unmasked server frames at the front of `bytes`, which
// loses them; a partial frame stays for the next read.
template <class Payload>
void takeWebSocketFrames(std::vector<std::uint8_t>& bytes, Payload&& payload) {
    std::size_t at = 0;
    for (;;) {
        if (bytes.size() - at < 2) {
            break;
        }
        std::size_t length = bytes[at + 1] & 0x7F;
        std::size_t header = 2;
        if (length == 126) {
            header = 4;
            if (bytes.size() - at < header) {
                break;
            }
            length = (std::size_t{bytes[at + 2]} << 8) | bytes[at + 3];
        } else if (length == 127) {
            header = 10;
            if (bytes.size() - at < header) {
                break;
            }
            length = 0;
            for (int i = 0; i < 8; ++i) {
                length = (length << 8) | bytes[at + 2 + static_cast<std::size_t>(i)];
            }
        }
        if (bytes.size() - at < header + length) {
            break;
        }
        if ((bytes[at] & 0x0F) == 0x2) {  // binary: one wire frame
            payload(std::span(bytes.data() + at + header, length));
        }
        at += header + length;
    }
    bytes.erase(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
}

// Every guest's socket on one thread: reads and decodes all of it, counting audio.
class Guests {
  public:
    Guests(std::uint16_t port, int count, bool webSockets) : webSockets_(webSockets) {
        for (int i = 0; i < count; ++i) {
            fds_.push_back(connectTo(port));
            decoders_.emplace_back(65536);
            pending_.emplace_back();
            if (webSockets_ && !openWebSocket(fds_.back(), pending_.back())) {
                ::close(fds_.back());
                fds_.back() = -1;
            }
            if (!webSockets_) {
                proveGuest(fds_.back());
            }
        }
        thread_ = std::thread([this] { run(); });
        pthread_getcpuclockid(thread_.native_handle(), &cpuClock_);
    }
    ~Guests() {
        stop_ = true;
        thread_.join();
        for (const int fd : fds_) {
            ::close(fd);
        }
    }
    std::int64_t audioFrames() const { return audioFrames_; }
    double cpuSeconds() const { return zoranth::cpuSeconds(cpuClock_); }

  private:
    void run() {
        std::vector<pollfd> polled;
        for (const int fd : fds_) {
            polled.push_back({fd, POLLIN, 0});
        }
        std::vector<std::uint8_t> buffer(65536);
        while (!stop_) {
            if (::poll(polled.data(), polled.size(), 10) <= 0) {
                continue;
            }
            for (std::size_t i = 0; i < polled.size(); ++i) {
                if ((polled[i].revents & POLLIN) == 0) {
                    continue;
                }
                const ssize_t got = ::recv(polled[i].fd, buffer.data(), buffer.size(), 0);
                if (got <= 0) {
                    polled[i].fd = -1;
                    continue;
                }
                const auto bytes = std::span(buffer.data(), static_cast<std::size_t>(got));
                if (webSockets_) {
                    pending_[i].insert(pending_[i].end(), bytes.begin(), bytes.end());
                    takeWebSocketFrames(pending_[i], [&](std::span<const std::uint8_t> frame) {
                        decode(i, frame);
                    });
                } else {
                    decode(i, bytes);
                }
            }
        }
    }

    void decode(std::size_t guest, std::span<const std::uint8_t> bytes) {
        decoders_[guest].append(bytes);
        while (true) {
            auto message = decoders_[guest].next();
            if (!message || !*message) {
                break;
            }
            if ((*message)->is<Message::Audio>()) {
                ++audioFrames_;
            }
        }
    }

    const bool webSockets_;
    std::vector<std::vector<std::uint8_t>> pending_;  // WebSocket bytes not yet a frame
    std::vector<int> fds_;
    std::vector<FrameDecoder> decoders_;
    std::thread thread_;
    clockid_t cpuClock_{};
    std::atomic<bool> stop_{false};
    std::atomic<std::int64_t> audioFrames_{0};
};

// The frame's chunk time, which the run sets to the moment it is handed over.
std::uint64_t handedOverAt(const FrameQueue::Bytes& frame) {
    std::uint64_t nanos = 0;
    for (int i = 7; i >= 0; --i) {
        nanos = (nanos << 8) | (*frame)[12 + i];
    }
    return nanos;
}

double percentile(std::vector<std::uint64_t>& values, double share) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(share * static_cast<double>(values.size() - 1));
    return static_cast<double>(values[index]);
}

void BM_FanOutEvery20ms(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    const bool webSockets = state.range(1) != 0;
    HostLog::setWritesFile(false);
    auto server = std::make_shared<BroadcastServer>(stereo, "Bench", [](auto, auto) {});
    std::mutex delaysLock;
    std::vector<std::uint64_t> delays;
    delays.reserve(static_cast<std::size_t>(count) * framesPerRun * 2);
    server->setOnAudioSent([&](GuestConnection::Id, const FrameQueue::Bytes& frame) {
        const std::uint64_t now = MachClock::nowNanos();
        std::lock_guard guard(delaysLock);
        delays.push_back(now - handedOverAt(frame));
    });
    if (!server->start({0, boost::asio::ip::make_address("127.0.0.1"), false})) {
        state.SkipWithError("cannot listen on 127.0.0.1");
        return;
    }
    Guests guests(server->port(), count, webSockets);
    while (server->guestCount() < static_cast<std::size_t>(count)) {
        std::this_thread::sleep_for(1ms);
    }
    // Hellos out, connections ready: a native guest's hello waits for the port to tell
    // it from a browser.
    std::this_thread::sleep_for(400ms);

    TierFrames frames;
    std::int64_t sent = 0;
    double hostCpu = 0;
    double audioSeconds = 0;
    const std::vector<std::uint8_t> packet(packetBytes, 0x5A);
    for (auto _ : state) {
        const double cpuBefore = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - guests.cpuSeconds();
        auto tick = std::chrono::steady_clock::now();
        for (int chunk = 0; chunk < framesPerRun; ++chunk) {
            const std::uint64_t now = MachClock::nowNanos();
            const AudioChunkHeader header{static_cast<std::uint32_t>(sent / count), now, 960, 1500};
            frames[QualityTier::medium] =
                FrameQueue::share(FrameEncoder::encodeAudioFrame(header, packet));
            server->broadcast(
                frames, FrameQueue::playoutDeadlineNanos(now, 960, 48000, stereo.bufferDelayMs),
                WallClock::now());
            sent += count;
            tick += chunkPeriod;
            std::this_thread::sleep_until(tick);
        }
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (guests.audioFrames() < sent && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(1ms);
        }
        hostCpu += cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - guests.cpuSeconds() - cpuBefore;
        audioSeconds += framesPerRun * 0.02;
    }

    std::promise<std::vector<GuestConnection::Snapshot>> snapshots;
    server->snapshots([&](auto list) { snapshots.set_value(std::move(list)); });
    std::int64_t dropped = 0;
    std::int64_t expired = 0;
    for (const auto& snapshot : snapshots.get_future().get()) {
        dropped += snapshot.droppedFrames;
        expired += snapshot.expiredFrames;
    }
    server->stop();

    std::vector<std::uint64_t> measured;
    {
        std::lock_guard guard(delaysLock);
        measured = delays;
    }
    state.counters["guests"] = count;
    state.counters["cpu_share_per_guest"] = hostCpu / (audioSeconds * count);
    state.counters["dropped"] = static_cast<double>(dropped);
    state.counters["expired"] = static_cast<double>(expired);
    state.counters["received_ratio"] =
        static_cast<double>(guests.audioFrames()) / static_cast<double>(sent);
    state.counters["p50_delay_us"] = percentile(measured, 0.50) / 1000.0;
    state.counters["p99_delay_us"] = percentile(measured, 0.99) / 1000.0;
}
BENCHMARK(BM_FanOutEvery20ms)
    ->ArgNames({"guests", "websocket"})
    ->ArgsProduct({{1, 10, 50}, {0, 1}})
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// Music-like test audio: a chord with a little noise, so the encoders have real work.
float sample(std::int64_t frame, int channel) {
    const double t = static_cast<double>(frame) / 48000.0;
    double x = 0.2 * std::sin(2 * M_PI * 220 * t) +
               0.15 * std::sin(2 * M_PI * 277.2 * t + channel) +
               0.1 * std::sin(2 * M_PI * 329.6 * t) + 0.05 * std::sin(2 * M_PI * 3520 * t);
    const auto noise = static_cast<std::uint32_t>(frame * 2654435761u + channel * 97u);
    x += 0.01 * (static_cast<double>(noise % 2001) / 1000.0 - 1.0);
    return static_cast<float>(x);
}

constexpr std::uint32_t slotFrames = 480;
constexpr std::uint64_t slotNanos = 10'000'000;

void writeSlot(sr_ring* ring, std::int64_t slot, std::uint64_t hostNanos) {
    sr_slot* target = sr_ring_begin_write(ring);
    if (target == nullptr) {
        sr_ring_note_overrun(ring);
        return;
    }
    target->host_time_ns = hostNanos;
    target->frames = slotFrames;
    target->channels = 2;
    target->flags = 0;
    for (std::uint32_t c = 0; c < 2; ++c) {
        float* plane = sr_slot_plane(ring, target, c);
        for (std::uint32_t j = 0; j < slotFrames; ++j) {
            plane[j] = sample(slot * slotFrames + j, static_cast<int>(c));
        }
    }
    sr_ring_note_call(ring);
    sr_ring_commit_write(ring);
}

std::uint32_t chunkSeq(const FrameQueue::Bytes& frame) {
    return static_cast<std::uint32_t>((*frame)[8]) | static_cast<std::uint32_t>((*frame)[9]) << 8 |
           static_cast<std::uint32_t>((*frame)[10]) << 16 |
           static_cast<std::uint32_t>((*frame)[11]) << 24;
}

void BM_CaptureToSocket(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    constexpr int slots = 1000;  // ten seconds
    constexpr int chunks = slots / 2;
    HostLog::setWritesFile(false);
    for (auto _ : state) {
        auto ring = *CaptureRing::createStandard();
        const auto pipeline =
            CapturePipeline::create(ring, TapFormat{48000, 2, false, true, 32}, 960);
        pipeline->setDiagnosticLog([](std::string_view) {});
        auto server = std::make_shared<BroadcastServer>(
            BroadcastSink::helloFor(2, pipeline->bufferDelayMs()), "Bench", [](auto, auto) {});
        // Per chunk: when its completing slot arrived, and how many guests have it written.
        std::vector<std::atomic<std::uint64_t>> arrivals(chunks + 2);
        std::vector<std::atomic<int>> written(chunks + 2);
        std::vector<std::atomic<std::uint64_t>> delays(chunks + 2);
        std::vector<std::atomic<std::uint64_t>> firstDelays(chunks + 2);
        server->setOnAudioSent([&](GuestConnection::Id, const FrameQueue::Bytes& frame) {
            const std::uint32_t seq = chunkSeq(frame);
            if (seq >= written.size()) {
                return;
            }
            const int before = written[seq].fetch_add(1);
            if (before == 0) {
                firstDelays[seq] = MachClock::nowNanos() - arrivals[seq].load();
            }
            if (before + 1 == count) {
                delays[seq] = MachClock::nowNanos() - arrivals[seq].load();
            }
        });
        // Room for every simulated guest: the default room is smaller than the largest run.
        GuestAdmission::Limits limits;
        limits.maxGuests = static_cast<std::size_t>(count);
        server->setAdmissionLimits(limits);
        if (!server->start({0, boost::asio::ip::make_address("127.0.0.1"), false})) {
            state.SkipWithError("cannot listen on 127.0.0.1");
            return;
        }
        const auto sink = BroadcastSink::create(server, nullptr, [](std::string_view) {});
        pipeline->setSink(sink);
        pipeline->setTiersWanted([weak = std::weak_ptr(server)] {
            const auto server = weak.lock();
            return server ? server->tiersWanted() : TierSet{};
        });
        Guests guests(server->port(), count, false);
        while (server->guestCount() < static_cast<std::size_t>(count)) {
            std::this_thread::sleep_for(1ms);
        }
        std::this_thread::sleep_for(400ms);  // hellos out (after the port's wait), connections ready
        if (!pipeline->start()) {
            state.SkipWithError("the pipeline did not start");
            return;
        }
        const double cpuBefore = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - guests.cpuSeconds();
        const double guestsCpuBefore = guests.cpuSeconds();
        const auto began = std::chrono::steady_clock::now();
        const std::uint64_t start = MachClock::nowNanos();
        auto next = began;
        for (int slot = 0; slot < slots; ++slot) {
            std::this_thread::sleep_until(next);
            // The chunk's sequence number is its index: the pipeline numbers from 0.
            if (slot % 2 == 1) {
                arrivals[static_cast<std::size_t>(slot / 2)] = MachClock::nowNanos();
            }
            writeSlot(ring->pointer(), slot, start + static_cast<std::uint64_t>(slot) * slotNanos);
            next += std::chrono::nanoseconds(slotNanos);
        }
        std::this_thread::sleep_for(300ms);
        const double wall =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
        const double hostCpu =
            cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - guests.cpuSeconds() - cpuBefore;
        pipeline->stop();
        server->stop();

        std::vector<std::uint64_t> measured;
        std::vector<std::uint64_t> firsts;
        int complete = 0;
        for (int chunk = 0; chunk < chunks; ++chunk) {
            if (written[static_cast<std::size_t>(chunk)] >= count) {
                ++complete;
                measured.push_back(delays[static_cast<std::size_t>(chunk)]);
                firsts.push_back(firstDelays[static_cast<std::size_t>(chunk)]);
            }
        }
        state.counters["guests"] = count;
        state.counters["p50_ms"] = percentile(measured, 0.50) / 1e6;
        state.counters["p99_ms"] = percentile(measured, 0.99) / 1e6;
        state.counters["first_p50_ms"] = percentile(firsts, 0.50) / 1e6;
        state.counters["first_p99_ms"] = percentile(firsts, 0.99) / 1e6;
        state.counters["complete_ratio"] = static_cast<double>(complete) / chunks;
        state.counters["overruns"] = static_cast<double>(sr_ring_overruns(ring->pointer()));
        state.counters["cpu_core_share"] = hostCpu / wall;
        state.counters["guests_cpu_core_share"] = (guests.cpuSeconds() - guestsCpuBefore) / wall;
    }
}
BENCHMARK(BM_CaptureToSocket)
    ->Arg(10)
    ->Arg(50)
    ->Arg(200)
    ->Arg(500)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace zoranth
