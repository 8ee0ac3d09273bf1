// Fixtures for tests against the private PulseAudio test server that scripts/test-services
// starts (a null sink "zoranth_test" at 48000 Hz as the default sink): play a tone into a
// sink, record a source, list what the server holds, point the client at other servers.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace zoranth {

// True when scripts/test-services runs (ZORANTH_TEST_SERVICES is set).
bool pulseTestServicesRunning();

#define ZORANTH_SKIP_WITHOUT_PULSE()                                                            \
    do {                                                                                        \
        if (!::zoranth::pulseTestServicesRunning()) {                                           \
            GTEST_SKIP() << "needs the test services: eval \"$(scripts/test-services start)\""; \
        }                                                                                       \
    } while (false)

inline constexpr const char* pulseTestSink = "zoranth_test";
inline constexpr const char* pulseTestMonitor = "zoranth_test.monitor";

// Runs a shell command; its standard output, or nothing when it exits with an error.
std::optional<std::string> pulseShell(const std::string& command);

// Sets an environment variable for a scope, then restores it.
class ScopedEnvironment {
  public:
    ScopedEnvironment(const char* name, const std::string& value);
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

  private:
    std::string name_;
    std::optional<std::string> previous_;
};

// A child process started from an argument list, optionally with its standard output piped
// back; stopped (SIGTERM, then waited for) when the object goes.
class TestProcess {
  public:
    TestProcess(const std::vector<std::string>& arguments, bool readOutput);
    ~TestProcess();
    TestProcess(const TestProcess&) = delete;
    TestProcess& operator=(const TestProcess&) = delete;

    bool started() const { return pid_ > 0; }
    // Reads up to `bytes` bytes of the child's output, giving up after `timeout`.
    std::size_t read(void* buffer, std::size_t bytes, std::chrono::milliseconds timeout);
    void signal(int number) const;
    // The exit status once the child has exited within `timeout`; -1 when a signal ended it.
    std::optional<int> waitForExit(std::chrono::milliseconds timeout);

  private:
    pid_t pid_ = -1;
    int output_ = -1;
};

struct PulseSinkInputRow {
    unsigned index = 0;
    unsigned sink = 0;
};
std::vector<PulseSinkInputRow> pulseSinkInputs();
std::optional<unsigned> pulseSinkIndex(const std::string& sinkName);
std::vector<std::string> pulseSinkNames();
std::vector<std::string> pulseModuleNames();

struct PulseSourceOutputRow {
    unsigned index = 0;
    std::string source;  // the source's name
    std::string mediaName;
};
std::vector<PulseSourceOutputRow> pulseSourceOutputs();
// Whether the sound server still records for the host (its "Zoranth Tap" stream).
bool hostCaptureOpen();

// Plays a sine tone (16-bit stereo, 48000 Hz, half scale) into a sink with paplay.
class PulseTonePlayer {
  public:
    explicit PulseTonePlayer(const std::string& sink, double frequency = 440.0, int seconds = 30);
    ~PulseTonePlayer();
    PulseTonePlayer(const PulseTonePlayer&) = delete;
    PulseTonePlayer& operator=(const PulseTonePlayer&) = delete;
    // The server's index of the tone's stream once it plays; none after `timeout`.
    std::optional<unsigned> waitUntilPlaying(
        std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // The sink the tone's stream plays into now.
    std::optional<unsigned> currentSink() const;

  private:
    std::string folder_;
    std::vector<unsigned> before_;
    std::optional<unsigned> index_;
    std::optional<TestProcess> player_;
};

// Records `duration` of a source as interleaved float32 at 48000 Hz with parec.
std::vector<float> pulseRecord(const std::string& source, unsigned channels,
                               std::chrono::milliseconds duration);

// The share of one channel's power that sits at `frequency` (1.0 for a pure tone there), over
// whole blocks of 0.1 s; 0 for silence.
double toneShare(const std::vector<float>& interleaved, unsigned channels, unsigned channel,
                 double rate, double frequency);
double rootMeanSquare(const std::vector<float>& samples);

// A second way into the test server that refuses this client: a loopback TCP listener that
// wants a cookie the client does not have. PULSE_SERVER and PULSE_COOKIE point at it for the
// fixture's lifetime.
class PulseDeniedServer {
  public:
    PulseDeniedServer();
    ~PulseDeniedServer();
    PulseDeniedServer(const PulseDeniedServer&) = delete;
    PulseDeniedServer& operator=(const PulseDeniedServer&) = delete;
    bool ready() const { return module_.has_value(); }

  private:
    std::optional<unsigned> module_;
    std::string folder_;
    std::optional<ScopedEnvironment> server_;
    std::optional<ScopedEnvironment> cookie_;
};

// Loads an extra null sink for a test and unloads it again, restoring the default sink.
class PulseExtraSink {
  public:
    PulseExtraSink(const std::string& name, unsigned channels, unsigned rate);
    ~PulseExtraSink();
    PulseExtraSink(const PulseExtraSink&) = delete;
    PulseExtraSink& operator=(const PulseExtraSink&) = delete;
    bool ready() const { return module_.has_value(); }
    bool makeDefault() const;

  private:
    std::string name_;
    std::optional<unsigned> module_;
};

}  // namespace zoranth
