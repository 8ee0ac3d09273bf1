// Runs a program directly (no shell) with pipes on its output and collects what it prints.
// Blocks the calling thread until the program ends or its time is up, so call it from a
// background thread or queue; never from the window's thread or the capture callback.
#pragma once

#include <chrono>
#include <expected>
#include <optional>
#include <string>
#include <vector>

namespace zoranth {

struct CommandRunner {
    struct Result {
        std::optional<int> exitStatus;  // absent when it ended by a signal, the timeout's included
        std::string output;
        std::string errors;  // standard error, when it was asked for
        bool timedOut = false;
    };

    // The program could not be started; `code` is the errno value.
    struct Failure {
        int code = 0;
        std::string text;
        friend bool operator==(const Failure&, const Failure&) = default;
    };

    struct Request {
        std::string path;
        std::vector<std::string> arguments;
        std::optional<std::chrono::milliseconds> timeout;  // none: wait as long as it takes
        bool readErrors = false;                           // otherwise standard error goes nowhere
    };

    // A program still running at its timeout is terminated with its whole process group:
    // SIGTERM first, SIGKILL after the grace period. Standard input is /dev/null; output
    // beyond outputLimit bytes is read and dropped.
    static std::expected<Result, Failure> run(const Request& request);

    static constexpr std::chrono::milliseconds terminationGrace{1000};
    static constexpr std::size_t outputLimit = 8u << 20;
};

}  // namespace zoranth
