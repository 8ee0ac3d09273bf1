// Fan-out cost of the broadcast server over loopback: N guests that read everything,
// one ~330-byte audio frame per guest every 20 ms for a bounded run. Figures: host
// CPU per guest as a share of one core (the guests' reader excluded), frames lost to
// the budget or to deadlines (both must stay 0), and the delay from handing a frame
// to the server to its socket write completing (p50, p99).
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
#include <cstring>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "host/host_log.h"
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

// Every guest's socket on one thread: reads and decodes all of it, counting audio.
class Guests {
  public:
    explicit Guests(std::uint16_t port, int count) {
        for (int i = 0; i < count; ++i) {
            fds_.push_back(connectTo(port));
            decoders_.emplace_back(65536);
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
                decoders_[i].append(std::span(buffer.data(), static_cast<std::size_t>(got)));
                while (true) {
                    auto message = decoders_[i].next();
                    if (!message || !*message) {
                        break;
                    }
                    if ((*message)->is<Message::Audio>()) {
                        ++audioFrames_;
                    }
                }
            }
        }
    }

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
    Guests guests(server->port(), count);
    while (server->guestCount() < static_cast<std::size_t>(count)) {
        std::this_thread::sleep_for(1ms);
    }
    std::this_thread::sleep_for(50ms);  // hellos out, connections ready

    BroadcastServer::Packets packets;
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
            const auto frame = FrameQueue::share(FrameEncoder::encodeAudioFrame(header, packet));
            for (GuestConnection::Id id = 1; id <= count; ++id) {
                packets[id] = frame;
            }
            server->broadcast(
                packets, FrameQueue::playoutDeadlineNanos(now, 960, 48000, stereo.bufferDelayMs),
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
    ->Arg(1)
    ->Arg(10)
    ->Arg(50)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace zoranth
