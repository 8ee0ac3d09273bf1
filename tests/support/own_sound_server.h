// A sound server of a test's own, which the test may stop and start again: the project's
// test-services script runs it in a scratch folder (PulseAudio, or PipeWire with its
// PulseAudio server and WirePlumber), with a null sink "zoranth_test" at 48000 Hz as the
// default sink, and PULSE_SERVER points this process and its children at it while the
// object lives. Never the shared services' server, which other tests and people use. One
// thread; make it before the clients that should use it. Inline, as the script's place is
// known to the tests only.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "pulse_test_server.h"

namespace zoranth {

class OwnSoundServer {
  public:
    // `kind` is "pulseaudio" or "pipewire". Starts it; see ready().
    explicit OwnSoundServer(std::string kind) : kind_(std::move(kind)) {
        std::string pattern =
            (std::getenv("TMPDIR") ? std::string(std::getenv("TMPDIR")) : "/tmp") +
            "/zoranth-sound-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            return;
        }
        folder_ = pattern;
        ready_ = start();
        server_.emplace("PULSE_SERVER", "unix:" + folder_ + "/pulse/native");
    }

    ~OwnSoundServer() {
        server_.reset();
        if (!folder_.empty()) {
            (void)stop();
            std::error_code ignored;
            std::filesystem::remove_all(folder_, ignored);
        }
    }

    OwnSoundServer(const OwnSoundServer&) = delete;
    OwnSoundServer& operator=(const OwnSoundServer&) = delete;

    // Whether this machine has the server's programs.
    static bool installed(const std::string& kind) {
        return pulseShell(kind == "pipewire" ? "command -v pipewire && command -v pipewire-pulse "
                                               "&& command -v wireplumber"
                                             : "command -v pulseaudio")
            .has_value();
    }

    bool ready() const { return ready_; }
    // Stops the server as a crash ends it for its clients: their connections close.
    bool stop() { return run("stop-pulse"); }
    // Starts it again, fresh (its modules and streams are gone), on the same socket.
    bool start() { return run("start-pulse"); }

  private:
    bool run(const std::string& command) const {
        return pulseShell("ZORANTH_SERVICES_DIR='" + folder_ + "' ZORANTH_SOUND_SERVER='" +
                          kind_ + "' '" + std::string(ZORANTH_SOURCE_DIR) +
                          "/scripts/test-services' " + command)
            .has_value();
    }

    std::string kind_;
    std::string folder_;
    std::optional<ScopedEnvironment> server_;
    bool ready_ = false;
};

}  // namespace zoranth
