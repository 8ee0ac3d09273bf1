// A serve-mode host on loopback, run from the built executable, whose output is read as it
// comes: the terminal mode's integration tests and the abuse tests drive it.
#pragma once

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "support/pulse_test_server.h"

namespace zoranth {

class ServingHost {
  public:
    ServingHost(const std::filesystem::path& state, const std::vector<std::string>& arguments)
        : stateHome_("XDG_STATE_HOME", state.string()),
          listenAddress_("ZORANTH_LISTEN_ADDRESS", "127.0.0.1"),
          process_(command(arguments), true) {}

    // Reads until a line matches `pattern` (its first group returned) or `timeout` passes.
    std::optional<std::string> waitFor(const std::regex& pattern,
                                       std::chrono::milliseconds timeout = std::chrono::seconds(15)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            std::smatch match;
            if (std::regex_search(output_, match, pattern)) {
                return match.size() > 1 ? match[1].str() : match[0].str();
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                return std::nullopt;
            }
            readSome(std::chrono::milliseconds(100));
        }
    }
    // Reads what the host prints for `duration`, so that its terminal never blocks it.
    void readFor(std::chrono::milliseconds duration) {
        const auto deadline = std::chrono::steady_clock::now() + duration;
        while (std::chrono::steady_clock::now() < deadline) {
            readSome(std::chrono::duration_cast<std::chrono::milliseconds>(
                std::min<std::chrono::steady_clock::duration>(
                    deadline - std::chrono::steady_clock::now(), std::chrono::milliseconds(100))));
        }
    }
    // Signals the host and collects the rest of its output and its exit status.
    std::optional<int> stop(int signal) {
        process_.signal(signal);
        for (int i = 0; i < 100 && readSome(std::chrono::milliseconds(100)) > 0; ++i) {
        }
        const auto status = process_.waitForExit(std::chrono::seconds(10));
        readSome(std::chrono::milliseconds(100));
        return status;
    }
    const std::string& output() const { return output_; }

  private:
    static std::vector<std::string> command(const std::vector<std::string>& arguments) {
        std::vector<std::string> words{ZORANTH_HOST_EXE};
        words.insert(words.end(), arguments.begin(), arguments.end());
        return words;
    }
    std::size_t readSome(std::chrono::milliseconds timeout) {
        char buffer[4096];
        const std::size_t n = process_.read(buffer, sizeof buffer, timeout);
        output_.append(buffer, n);
        return n;
    }

    ScopedEnvironment stateHome_;
    ScopedEnvironment listenAddress_;
    TestProcess process_;
    std::string output_;
};

}  // namespace zoranth
