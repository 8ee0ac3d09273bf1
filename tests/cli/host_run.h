// Runs the built host executable for the terminal modes' integration tests: with its own
// state folder for the host log, a time limit, and a low-latency tone playing when asked.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/pulse_test_server.h"

namespace zoranth {

struct HostRun {
    std::string output;
    int status = -1;

    std::vector<std::string> lines() const {
        std::vector<std::string> result;
        std::istringstream in(output);
        for (std::string line; std::getline(in, line);) {
            result.push_back(line);
        }
        return result;
    }
    bool hasLine(const std::string& wanted) const {
        for (const auto& line : lines()) {
            if (line == wanted) {
                return true;
            }
        }
        return false;
    }
};

// A folder of the test's own, removed with everything in it.
class ScratchFolder {
  public:
    ScratchFolder() {
        std::string pattern = std::filesystem::temp_directory_path() / "zoranth-cli-XXXXXX";
        if (mkdtemp(pattern.data()) != nullptr) {
            path_ = pattern;
        }
    }
    ~ScratchFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

// Runs a shell command line; what it printed on standard output and its exit status.
inline HostRun runShell(const std::string& command) {
    HostRun run;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return run;
    }
    char buffer[4096];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        run.output.append(buffer, n);
    }
    const int wait = pclose(pipe);
    run.status = WIFEXITED(wait) ? WEXITSTATUS(wait) : -1;
    return run;
}

// The built host as a shell word.
inline std::string hostExecutable() {
    return "'" + std::string(ZORANTH_HOST_EXE) + "'";
}

// Runs the host with the given arguments (shell words) and extra environment assignments;
// the host log goes to `state`. Standard error stays apart unless `withErrors`. Killed
// after two minutes.
inline HostRun runHost(const std::filesystem::path& state, const std::string& arguments,
                       const std::string& environment = "", bool withErrors = false) {
    return runShell("timeout 120 env XDG_STATE_HOME='" + state.string() + "' " + environment + " " +
                    hostExecutable() + " " + arguments + (withErrors ? " 2>&1" : ""));
}

// A sine tone played into the test sink asking for a short latency, as a real output device
// would render it. An idle null sink renders blocks of up to two seconds; until the last of
// those is through, the monitor's audio arrives late and in bursts, so the tone is given that
// long to settle before anyone captures it.
class LowLatencyTone {
  public:
    explicit LowLatencyTone(double frequency, int seconds) {
        const auto file = folder_.path() / "tone.wav";
        const std::string synth = "sox -n -r 48000 -c 2 -b 16 '" + file.string() + "' synth " +
                                  std::to_string(seconds) + " sine " + std::to_string(frequency) +
                                  " vol 0.5";
        if (!pulseShell(synth)) {
            return;
        }
        const std::size_t before = pulseSinkInputs().size();
        player_.emplace(
            std::vector<std::string>{"paplay", "--latency-msec=20",
                                     std::string("--device=") + pulseTestSink, file.string()},
            false);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (pulseSinkInputs().size() <= before && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        playing_ = pulseSinkInputs().size() > before;
        std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    }
    bool playing() const { return playing_; }

  private:
    ScratchFolder folder_;
    std::optional<TestProcess> player_;
    bool playing_ = false;
};

}  // namespace zoranth
