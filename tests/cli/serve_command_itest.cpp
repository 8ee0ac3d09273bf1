// Serve mode end to end on loopback: the built executable captures a tone from the test
// sound server, advertises the rave through the loopback-only avahi-daemon, and the
// receiver tool, as a guest, keeps time with the host and hears the tone.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "host_run.h"
#include "recording.h"
#include "serving_host.h"
#include "support/avahi_browse.h"
#include "support/listening_guest.h"
#include "support/own_sound_server.h"
#include "support/pulse_test_server.h"

namespace zoranth {
namespace {

using namespace std::chrono_literals;

#define ZORANTH_SKIP_WITHOUT_SERVICES()                                                     \
    if (std::getenv("ZORANTH_TEST_SERVICES") == nullptr) {                                  \
        GTEST_SKIP() << "needs the test services: eval \"$(scripts/test-services start)\""; \
    }

// The receiver tool's exit status and what it printed.
HostRun receive(std::uint16_t port, const std::string& options) {
    return runShell("timeout 60 python3 '" + std::string(ZORANTH_SOURCE_DIR) +
                    "/Tools/recv.py' --host 127.0.0.1 --port " + std::to_string(port) + " " +
                    options + " 2>&1");
}

// ThreadSanitizer slows the host down so far that the sound server's deliveries stall and
// the capture timeline restarts; the realtime promise is checked by the plain build.
#if defined(__SANITIZE_THREAD__)
const std::string realtimeCheck = "";
#else
const std::string realtimeCheck = "--assert-loopback ";
#endif

const std::regex listening(R"(\nlistening on port (\d+), advertised as ")");

// What a phone's camera reads from the join code in the banner: the drawing that follows
// the join line, turned back into an image (drawn cells are the light modules) and
// read by zbarimg. Absent when there is no drawing or nothing could be read.
std::optional<std::string> scannedJoinCode(const std::string& output,
                                           const std::filesystem::path& folder) {
    const auto join = output.find("  (or scan this code)\n\n");
    if (join == std::string::npos) {
        return std::nullopt;
    }
    const auto start = output.find("\n\n", join) + 2;
    const auto end = output.find("\n\n", start);
    std::vector<std::vector<bool>> light;  // module rows
    std::istringstream drawing(output.substr(start, end - start));
    for (std::string line; std::getline(drawing, line);) {
        std::vector<bool> top;
        std::vector<bool> bottom;
        // Past the banner's two-space indent: a full block, an upper or a lower half, or a blank.
        for (std::size_t at = 2; at < line.size();) {
            const bool blank = line[at] == ' ';
            const std::string cell = line.substr(at, blank ? 1 : 3);
            at += cell.size();
            top.push_back(cell == "\u2588" || cell == "\u2580");
            bottom.push_back(cell == "\u2588" || cell == "\u2584");
        }
        light.push_back(top);
        light.push_back(bottom);
    }
    if (light.empty()) {
        return std::nullopt;
    }
    // Four pixels per module, in a wide light border of its own.
    const int scale = 4;
    const int border = 8;
    const int width = (static_cast<int>(light[0].size()) + 2 * border) * scale;
    const int height = (static_cast<int>(light.size()) + 2 * border) * scale;
    const auto image = folder / "join-code.pgm";
    std::ofstream file(image, std::ios::binary);
    file << "P5\n" << width << " " << height << "\n255\n";
    for (int py = 0; py < height; ++py) {
        for (int px = 0; px < width; ++px) {
            const int x = px / scale - border;
            const int y = py / scale - border;
            const bool inside = y >= 0 && y < static_cast<int>(light.size()) && x >= 0 &&
                                x < static_cast<int>(light[static_cast<std::size_t>(y)].size());
            const bool isLight =
                !inside || light[static_cast<std::size_t>(y)][static_cast<std::size_t>(x)];
            file.put(static_cast<char>(isLight ? 255 : 0));
        }
    }
    file.close();
    const HostRun read = runShell("zbarimg --quiet --raw '" + image.string() + "' 2>/dev/null");
    if (read.status != 0 || read.output.empty()) {
        return std::nullopt;
    }
    return read.output.substr(0, read.output.find('\n'));
}

TEST(ServeMode, AGuestOnLoopbackKeepsTimeAndHearsTheTone) {
    ZORANTH_SKIP_WITHOUT_SERVICES();
    LowLatencyTone tone(440, 60);
    ASSERT_TRUE(tone.playing());
    ScratchFolder folder;
    const std::string name = "Loopback Rave " + std::to_string(getpid());
    ServingHost host(folder.path(), {"--serve", "--name", name, "--delay-ms", "1000"});

    const auto port = host.waitFor(listening);
    ASSERT_TRUE(port) << host.output();
    const auto portNumber = static_cast<std::uint16_t>(std::stoi(*port));
    // The whole banner, up to its last line.
    ASSERT_TRUE(host.waitFor(std::regex(R"(\nbuffer delay: \d+ ms\.)"))) << host.output();
    EXPECT_NE(host.output().find("advertised as \"" + name + "\" (_zoranth._tcp)"),
              std::string::npos)
        << host.output();
    EXPECT_NE(host.output().find("\nbuffer delay: 1000 ms.  Ctrl-C to stop.\n"), std::string::npos);

    // A phone joins by the link on the listening address, or by its code, drawn before the
    // receiver's lines.
    const std::string link = "http://127.0.0.1:" + *port + "/";
    const auto joinLine =
        host.output().find("\n  join from a phone: " + link + "  (or scan this code)\n");
    EXPECT_NE(joinLine, std::string::npos) << host.output();
    EXPECT_LT(joinLine, host.output().find("\n  validate sync: ")) << host.output();
    const auto receiverLine = host.output().find("\n  receive with: ");
    if (receiverLine != std::string::npos) {
        EXPECT_LT(joinLine, receiverLine) << host.output();
    }
    EXPECT_EQ(scannedJoinCode(host.output(), folder.path()), link) << host.output();

    const auto advertised = avahiFind("_zoranth._tcp", name);
    ASSERT_TRUE(advertised) << "avahi-browse does not list " << name;
    EXPECT_EQ(advertised->port, portNumber);

    const HostRun inStep = receive(portNumber, "--raw --timesync " + realtimeCheck + "--seconds 5");
    EXPECT_EQ(inStep.status, 0) << inStep.output;

    const auto heard = folder.path() / "heard.wav";
    const HostRun listener = receive(portNumber, "--dump-wav '" + heard.string() + "' --seconds 3");
    ASSERT_EQ(listener.status, 0) << listener.output;
    const auto recording = readRecording(heard);
    ASSERT_TRUE(recording && recording->info.channels == 2) << listener.output;
    const std::size_t second = 96000;
    ASSERT_GT(recording->samples.size(), 2 * second);
    const std::vector<float> middle(recording->samples.end() - static_cast<long>(second),
                                    recording->samples.end());
    EXPECT_EQ(dominantFrequency(middle, 2, 48000), 440);

    // The guests' lines came with the status lines while they listened.
    EXPECT_TRUE(host.waitFor(std::regex(R"(\n      client 1   127\.0\.0\.1:\d+ +queued)")))
        << host.output();
    EXPECT_EQ(host.stop(SIGINT), 0) << host.output();
    EXPECT_NE(host.output().find("\n=== serve summary ===\nchunks produced:   "), std::string::npos)
        << host.output();
}

TEST(ServeMode, ADurationEndsTheRaveWithItsStatusLinesAndSummary) {
    ZORANTH_SKIP_WITHOUT_SERVICES();
    ScratchFolder folder;
    ServingHost host(folder.path(), {"--serve", "--seconds", "5"});
    ASSERT_TRUE(host.waitFor(std::regex(R"(\ndiscontinuities: +\d+\n)"), 30s)) << host.output();
    const auto status = host.stop(0);
    EXPECT_EQ(status, 0) << host.output();

    const std::regex statusLine(R"(\n +(\d+)s +-?\d+\.\d/ *-?\d+\.\d dBFS  0 client\(s\)  chunks)");
    std::vector<int> seconds;
    for (std::sregex_iterator it(host.output().begin(), host.output().end(), statusLine), end;
         it != end; ++it) {
        seconds.push_back(std::stoi((*it)[1]));
    }
    EXPECT_EQ(seconds, (std::vector<int>{2, 4})) << host.output();
    EXPECT_EQ(host.output().find("      client "), std::string::npos);
}

TEST(ServeMode, TheSoundServerGoingAwayAndBackIsToldOnceEachAndTheGuestHearsItAgain) {
    ZORANTH_SKIP_WITHOUT_SERVICES();
    using Clock = std::chrono::steady_clock;
    OwnSoundServer server("pulseaudio");
    ASSERT_TRUE(server.ready());
    auto tone = std::make_unique<PulseTonePlayer>(pulseTestSink, 440, 120);
    ASSERT_TRUE(tone->waitUntilPlaying());
    ScratchFolder folder;
    ServingHost host(folder.path(), {"--serve", "--delay-ms", "1000"});
    const auto port = host.waitFor(std::regex(R"(\nlistening on port (\d+))"));
    ASSERT_TRUE(port) << host.output();
    auto connected = TestGuest::connect(static_cast<std::uint16_t>(std::stoi(*port)));
    ASSERT_TRUE(connected) << connected.error();
    ASSERT_TRUE(connected->prove());
    ListeningGuest guest(std::move(*connected), 440);
    host.readFor(3s);
    ASSERT_TRUE(guest.firstToneFrom(Clock::now() - 3s)) << host.output();

    tone.reset();
    ASSERT_TRUE(server.stop());
    EXPECT_TRUE(host.waitFor(
        std::regex(R"(\ncapture lost: [^\n]+; reconnecting to the sound server\n)"), 3s))
        << host.output();
    host.readFor(3s);
    ASSERT_TRUE(server.start());
    const auto back = Clock::now();
    tone = std::make_unique<PulseTonePlayer>(pulseTestSink, 440, 120);
    ASSERT_TRUE(tone->waitUntilPlaying());
    const auto gone = host.waitFor(std::regex(R"(\ncapture back after (\d+\.\d) s\n)"), 5s);
    ASSERT_TRUE(gone) << host.output();
    EXPECT_GE(std::stod(*gone), 3.0);
    host.readFor(5s);

    const auto heard = guest.firstToneFrom(back);
    ASSERT_TRUE(heard) << "the tone came back";
    EXPECT_LT(heard->arrived - back, 5s);
    EXPECT_FALSE(guest.closed());
    const auto chunks = guest.chunks();
    for (std::size_t i = 1; i < chunks.size(); ++i) {
        ASSERT_EQ(chunks[i].seq, chunks[i - 1].seq + 1) << "at chunk " << i;
        ASSERT_GT(chunks[i].hostTimeNanos, chunks[i - 1].hostTimeNanos) << "at chunk " << i;
    }
    EXPECT_EQ(host.stop(SIGTERM), 0) << host.output();
    const auto count = [&](const std::string& text) {
        std::size_t found = 0;
        for (auto at = host.output().find(text); at != std::string::npos;
             at = host.output().find(text, at + 1)) {
            ++found;
        }
        return found;
    };
    EXPECT_EQ(count("\ncapture lost: "), 1u) << host.output();
    EXPECT_EQ(count("\ncapture back after "), 1u) << host.output();
}

TEST(ServeMode, WithoutASoundServerItFailsToStartCapture) {
    ZORANTH_SKIP_WITHOUT_SERVICES();
    ScratchFolder folder;
    const HostRun run = runHost(folder.path(), "--serve --seconds 5",
                                "PULSE_SERVER=unix:" + (folder.path() / "none").string());
    EXPECT_EQ(run.status, 1) << run.output;
    const auto lines = run.lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(lines.back().starts_with("FAILED to start capture: ")) << run.output;
}

}  // namespace
}  // namespace zoranth
