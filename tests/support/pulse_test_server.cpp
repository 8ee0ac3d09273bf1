#include "pulse_test_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <numbers>
#include <random>
#include <sstream>
#include <thread>

extern char** environ;

namespace zoranth {
namespace {

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        result.push_back(line);
    }
    return result;
}

std::vector<std::string> fields(const std::string& line) {
    std::vector<std::string> result;
    std::istringstream in(line);
    for (std::string field; std::getline(in, field, '\t');) {
        result.push_back(field);
    }
    return result;
}

std::string trimmed(std::string text) {
    const auto first = text.find_first_not_of(" \t");
    const auto last = text.find_last_not_of(" \t\r\n");
    return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
}

std::string temporaryFolder() {
    std::string pattern = (std::getenv("TMPDIR") ? std::string(std::getenv("TMPDIR")) : "/tmp") +
                          "/zoranth-pulse-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        return "/tmp";
    }
    return pattern;
}

void writeToneWave(const std::string& path, double frequency, int seconds) {
    constexpr std::uint32_t rate = 48000;
    constexpr std::uint16_t channels = 2;
    const std::uint32_t frames = rate * static_cast<std::uint32_t>(seconds);
    const std::uint32_t dataBytes = frames * channels * 2;
    std::ofstream out(path, std::ios::binary);
    auto u32 = [&](std::uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [&](std::uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
    out.write("RIFF", 4);
    u32(36 + dataBytes);
    out.write("WAVEfmt ", 8);
    u32(16);
    u16(1);
    u16(channels);
    u32(rate);
    u32(rate * channels * 2);
    u16(channels * 2);
    u16(16);
    out.write("data", 4);
    u32(dataBytes);
    std::vector<std::int16_t> block(static_cast<std::size_t>(rate) * channels);
    for (std::uint32_t second = 0; second < static_cast<std::uint32_t>(seconds); ++second) {
        for (std::uint32_t i = 0; i < rate; ++i) {
            const double t = static_cast<double>(second * rate + i) / rate;
            const auto value = static_cast<std::int16_t>(
                std::lround(16384.0 * std::sin(2 * std::numbers::pi * frequency * t)));
            block[2 * i] = value;
            block[2 * i + 1] = value;
        }
        out.write(reinterpret_cast<const char*>(block.data()),
                  static_cast<std::streamsize>(block.size() * sizeof(std::int16_t)));
    }
}

unsigned freeLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    unsigned port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    close(fd);
    return port;
}

std::optional<unsigned> loadModule(const std::string& arguments) {
    const auto output = pulseShell("pactl load-module " + arguments);
    if (!output || trimmed(*output).empty()) {
        return std::nullopt;
    }
    return static_cast<unsigned>(std::stoul(trimmed(*output)));
}

}  // namespace

bool pulseTestServicesRunning() {
    return std::getenv("ZORANTH_TEST_SERVICES") != nullptr;
}

std::optional<std::string> pulseShell(const std::string& command) {
    FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
    if (pipe == nullptr) {
        return std::nullopt;
    }
    std::string output;
    char buffer[4096];
    while (const std::size_t n = fread(buffer, 1, sizeof buffer, pipe)) {
        output.append(buffer, n);
    }
    const int status = pclose(pipe);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return std::nullopt;
    }
    return output;
}

ScopedEnvironment::ScopedEnvironment(const char* name, const std::string& value) : name_(name) {
    if (const char* previous = std::getenv(name)) {
        previous_ = previous;
    }
    setenv(name, value.c_str(), 1);
}

ScopedEnvironment::~ScopedEnvironment() {
    if (previous_) {
        setenv(name_.c_str(), previous_->c_str(), 1);
    } else {
        unsetenv(name_.c_str());
    }
}

TestProcess::TestProcess(const std::vector<std::string>& arguments, bool readOutput) {
    std::vector<char*> argv;
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    int pipeEnds[2] = {-1, -1};
    if (readOutput && pipe2(pipeEnds, O_CLOEXEC) == 0) {
        posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
    }
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    if (posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    if (pipeEnds[1] >= 0) {
        close(pipeEnds[1]);
        output_ = pipeEnds[0];
    }
}

TestProcess::~TestProcess() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    if (output_ >= 0) {
        close(output_);
    }
}

void TestProcess::signal(int number) const {
    if (pid_ > 0) {
        kill(pid_, number);
    }
}

std::optional<int> TestProcess::waitForExit(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (pid_ > 0) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return std::nullopt;
}

std::size_t TestProcess::read(void* buffer, std::size_t bytes, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::size_t got = 0;
    while (got < bytes && output_ >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        pollfd ready{output_, POLLIN, 0};
        if (poll(&ready, 1, static_cast<int>(left.count())) <= 0) {
            break;
        }
        const ssize_t n = ::read(output_, static_cast<char*>(buffer) + got, bytes - got);
        if (n <= 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    return got;
}

std::vector<PulseSinkInputRow> pulseSinkInputs() {
    std::vector<PulseSinkInputRow> rows;
    for (const std::string& line : lines(pulseShell("pactl list short sink-inputs").value_or(""))) {
        const auto parts = fields(line);
        if (parts.size() >= 2) {
            rows.push_back({static_cast<unsigned>(std::stoul(parts[0])),
                            static_cast<unsigned>(std::stoul(parts[1]))});
        }
    }
    return rows;
}

std::optional<unsigned> pulseSinkIndex(const std::string& sinkName) {
    for (const std::string& line : lines(pulseShell("pactl list short sinks").value_or(""))) {
        const auto parts = fields(line);
        if (parts.size() >= 2 && parts[1] == sinkName) {
            return static_cast<unsigned>(std::stoul(parts[0]));
        }
    }
    return std::nullopt;
}

std::vector<std::string> pulseSinkNames() {
    std::vector<std::string> names;
    for (const std::string& line : lines(pulseShell("pactl list short sinks").value_or(""))) {
        const auto parts = fields(line);
        if (parts.size() >= 2) {
            names.push_back(parts[1]);
        }
    }
    return names;
}

std::vector<std::string> pulseModuleNames() {
    std::vector<std::string> names;
    for (const std::string& line : lines(pulseShell("pactl list short modules").value_or(""))) {
        const auto parts = fields(line);
        if (parts.size() >= 2) {
            names.push_back(parts[1]);
        }
    }
    return names;
}

std::vector<PulseSourceOutputRow> pulseSourceOutputs() {
    std::vector<std::pair<unsigned, std::string>> sources;
    for (const std::string& line : lines(pulseShell("pactl list short sources").value_or(""))) {
        const auto parts = fields(line);
        if (parts.size() >= 2) {
            sources.emplace_back(static_cast<unsigned>(std::stoul(parts[0])), parts[1]);
        }
    }
    std::vector<PulseSourceOutputRow> rows;
    for (const std::string& raw : lines(pulseShell("pactl list source-outputs").value_or(""))) {
        const std::string line = trimmed(raw);
        if (line.starts_with("Source Output #")) {
            rows.push_back({static_cast<unsigned>(std::stoul(line.substr(15))), "", ""});
        } else if (!rows.empty() && line.starts_with("Source: ")) {
            const unsigned index = static_cast<unsigned>(std::stoul(line.substr(8)));
            for (const auto& [known, name] : sources) {
                if (known == index) {
                    rows.back().source = name;
                }
            }
        } else if (!rows.empty() && line.starts_with("media.name = \"")) {
            rows.back().mediaName = line.substr(14, line.size() - 15);
        }
    }
    return rows;
}

bool hostCaptureOpen() {
    for (const PulseSourceOutputRow& row : pulseSourceOutputs()) {
        if (row.mediaName.starts_with("Zoranth Tap")) {
            return true;
        }
    }
    return false;
}

PulseTonePlayer::PulseTonePlayer(const std::string& sink, double frequency, int seconds) {
    folder_ = temporaryFolder();
    writeToneWave(folder_ + "/tone.wav", frequency, seconds);
    for (const auto& row : pulseSinkInputs()) {
        before_.push_back(row.index);
    }
    player_.emplace(std::vector<std::string>{"paplay", "--device=" + sink, folder_ + "/tone.wav"},
                    false);
}

PulseTonePlayer::~PulseTonePlayer() {
    player_.reset();
    unlink((folder_ + "/tone.wav").c_str());
    rmdir(folder_.c_str());
}

std::optional<unsigned> PulseTonePlayer::waitUntilPlaying(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!index_ && std::chrono::steady_clock::now() < deadline) {
        for (const auto& row : pulseSinkInputs()) {
            if (std::find(before_.begin(), before_.end(), row.index) == before_.end()) {
                index_ = row.index;
            }
        }
        if (!index_) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    return index_;
}

std::optional<unsigned> PulseTonePlayer::currentSink() const {
    for (const auto& row : pulseSinkInputs()) {
        if (index_ && row.index == *index_) {
            return row.sink;
        }
    }
    return std::nullopt;
}

std::vector<float> pulseRecord(const std::string& source, unsigned channels,
                               std::chrono::milliseconds duration) {
    TestProcess recorder({"parec", "--device=" + source, "--format=float32le", "--rate=48000",
                           "--channels=" + std::to_string(channels), "--raw", "--latency-msec=20"},
                          true);
    const std::size_t frames = static_cast<std::size_t>(48 * duration.count());
    std::vector<float> samples(frames * channels);
    const std::size_t got = recorder.read(samples.data(), samples.size() * sizeof(float),
                                          duration + std::chrono::seconds(3));
    samples.resize(got / sizeof(float));
    return samples;
}

double toneShare(const std::vector<float>& interleaved, unsigned channels, unsigned channel,
                 double rate, double frequency) {
    const std::size_t block = static_cast<std::size_t>(rate / 10);
    const std::size_t frames = interleaved.size() / channels;
    double tonePower = 0;
    double totalPower = 0;
    const double coefficient = 2 * std::cos(2 * std::numbers::pi * frequency / rate);
    for (std::size_t start = 0; start + block <= frames; start += block) {
        double s1 = 0;
        double s2 = 0;
        for (std::size_t i = 0; i < block; ++i) {
            const double x = interleaved[(start + i) * channels + channel];
            const double s0 = x + coefficient * s1 - s2;
            s2 = s1;
            s1 = s0;
            totalPower += x * x;
        }
        const double magnitude = s1 * s1 + s2 * s2 - coefficient * s1 * s2;
        tonePower += 2 * magnitude / static_cast<double>(block);
    }
    return totalPower > 0 ? tonePower / totalPower : 0;
}

double rootMeanSquare(const std::vector<float>& samples) {
    double sum = 0;
    for (const float x : samples) {
        sum += static_cast<double>(x) * x;
    }
    return samples.empty() ? 0 : std::sqrt(sum / static_cast<double>(samples.size()));
}

PulseDeniedServer::PulseDeniedServer() {
    folder_ = temporaryFolder();
    const unsigned port = freeLoopbackPort();
    // The server keeps its own cookie; the client is handed 256 bytes the server never saw.
    std::ofstream clientCookie(folder_ + "/client-cookie", std::ios::binary);
    std::mt19937 random(std::random_device{}());
    for (int i = 0; i < 256; ++i) {
        clientCookie.put(static_cast<char>(random() & 0xFF));
    }
    clientCookie.close();
    module_ = loadModule(
        "module-native-protocol-tcp listen=127.0.0.1 port=" + std::to_string(port) +
        " auth-anonymous=0 auth-cookie-enabled=1 auth-cookie=" + folder_ + "/server-cookie");
    if (module_) {
        server_.emplace("PULSE_SERVER", "tcp:127.0.0.1:" + std::to_string(port));
        cookie_.emplace("PULSE_COOKIE", folder_ + "/client-cookie");
    }
}

PulseDeniedServer::~PulseDeniedServer() {
    cookie_.reset();
    server_.reset();
    if (module_) {
        pulseShell("pactl unload-module " + std::to_string(*module_));
    }
    for (const char* file : {"/client-cookie", "/server-cookie"}) {
        unlink((folder_ + file).c_str());
    }
    rmdir(folder_.c_str());
}

PulseExtraSink::PulseExtraSink(const std::string& name, unsigned channels, unsigned rate)
    : name_(name) {
    module_ = loadModule("module-null-sink sink_name=" + name +
                         " channels=" + std::to_string(channels) + " rate=" + std::to_string(rate));
}

PulseExtraSink::~PulseExtraSink() {
    pulseShell(std::string("pactl set-default-sink ") + pulseTestSink);
    if (module_) {
        pulseShell("pactl unload-module " + std::to_string(*module_));
    }
}

bool PulseExtraSink::makeDefault() const {
    return pulseShell("pactl set-default-sink " + name_).has_value();
}

}  // namespace zoranth

// Under ThreadSanitizer: the sound server's client library is not instrumented and hands its
// own memory between threads through lock-free free lists ThreadSanitizer cannot see, so
// accesses made inside it are reported as races although they are ordered. Only accesses
// inside those library functions are let through; our own code stays checked, including
// everything it guards with the library's main-loop lock.
extern "C" const char* __tsan_default_suppressions() {
    // libdbus (under Avahi's client) takes its own locks in an order TSan reads
    // as an inversion between Avahi's event thread and a registration's teardown.
    return "race:pa_mutex_lock\n"
           "race:pa_iochannel_read_with_ancil_data\n"
           "deadlock:libdbus-1.so.3\n";
}
