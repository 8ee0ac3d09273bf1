#include "cli/command_line_entry.h"

#include <algorithm>
#include <cstdio>
#include <string_view>
#include <utility>
#include <vector>

#include "cli/beats_command.h"
#include "cli/options.h"
#include "cli/readiness_check.h"
#include "cli/record_command.h"
#include "cli/serve_command.h"
#include "cli/tap_check_command.h"
#include "host/host_log.h"
#include "protocol/frame_encoder.h"

namespace zoranth {

namespace {

// Modes whose code is not in this build say so and exit with status 2.
bool occurs(std::span<const std::string> arguments, std::string_view argument) {
    return std::find(arguments.begin(), arguments.end(), argument) != arguments.end();
}

constexpr std::string_view usageLines =
    "ZoranthHost \u2014 captures this computer's audio and broadcasts it over the LAN.\n"
    "\n"
    "Modes:\n"
    "  --tapcheck [--seconds N]        Phase 1: verify capture, print the tap format\n"
    "                                  and live levels.\n"
    "  --record FILE [--seconds N]     Phase 2: write a WAV and assert that frames\n"
    "             [--stress]           written match wall clock (proves the realtime\n"
    "                                  path). --stress contends for CPU while doing it.\n"
    "  --serve [--port N]              Phase 3: broadcast over TCP, advertised as\n"
    "          [--delay-ms N]          _zoranth._tcp. Receive with Tools/recv.py.\n"
    "          [--name NAME]           The rave's name guests see (default: this computer's).\n"
    "          [--max-guests N]        How many guests the rave takes (default 256).\n"
    "  --check                         Run the system checks (audio recording,\n"
    "                                  firewall, local network) and report.\n"
    "  --goldens                       Print the wire-format golden vectors.\n"
    "\n"
    "Logs are teed to ";

}  // namespace

CommandLineEntry::Modes CommandLineEntry::Modes::builtIn() {
    return {
        .tapCheck = &TapCheckCommand::run,
        .record = &RecordCommand::run,
        .serve = &ServeCommand::run,
        .beats = [](const std::string& path) { return BeatsCommand::run(path); },
        .beatsHelper = [](const std::string& path) { return BeatsCommand::runHelper(path); },
        .check = [] { return runReadinessCheck(); },
    };
}

std::optional<int> CommandLineEntry::run(int argc, char** argv) {
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i) {
        arguments.emplace_back(argv[i]);
    }
    return dispatch(arguments, Modes::builtIn());
}

std::optional<int> CommandLineEntry::dispatch(std::span<const std::string> arguments,
                                              const Modes& modes) {
    const Options options = Options::parse(arguments);
    if (auto name = Options::raveNameArgument(arguments)) {
        ServeCommand::raveName = std::move(*name);
    }
    const std::string& command = options.command;

    if (command == "goldens") {
        emitGoldenVectors();
        return 0;
    }
    if (command == "check") {
        return modes.check();
    }
    if (command == "tapcheck") {
        return modes.tapCheck(options.seconds);
    }
    if (command == "record") {
        return modes.record(options.path, options.seconds, options.stress);
    }
    if (command == "serve") {
        const auto duration =
            occurs(arguments, "--seconds") ? std::optional(options.seconds) : std::nullopt;
        ServeCommand::maxGuests = options.maxGuests;
        return modes.serve(options.port, options.delayMs, duration);
    }
    if (command == "beats") {
        // Beats mode prints its analysis; the host log file is for raves.
        HostLog::setWritesFile(false);
        return occurs(arguments, "--helper") ? modes.beatsHelper(options.path)
                                             : modes.beats(options.path);
    }
    if (command == "help") {
        usage();
        return 0;
    }
    return std::nullopt;
}

void CommandLineEntry::usage() {
    std::string text(usageLines);
    text += HostLog::logPath();
    text += '\n';
    std::fputs(text.c_str(), stdout);
}

void CommandLineEntry::emitGoldenVectors() {
    const std::pair<const char*, Message> goldens[] = {
        {"hello", Hello{48000, 2, 16, 960, 1500}},
        {"timeReq", TimeReq{0x0123456789ABCDEF}},
        {"timeResp", TimeResp{0x0123456789ABCDEF, 0x1122334455667788}},
        {"bye", Message::Bye{}},
        {"audio",
         Message::Audio{{1, 0xFFEEDDCCBB, 960, 1500}, {0xDE, 0xAD, 0xBE, 0xEF, 0x01, 0x02}}},
        {"clientStat", ClientStat{3200000, 1100000, -123456789, 4, 960, 0, 1490, "iPhone"}},
    };
    for (const auto& [name, message] : goldens) {
        std::string line = std::string(name) + ": ";
        for (const auto byte : FrameEncoder::encode(message)) {
            static constexpr char digits[] = "0123456789abcdef";
            line += digits[byte >> 4];
            line += digits[byte & 0x0F];
        }
        line += '\n';
        std::fputs(line.c_str(), stdout);
    }
}

}  // namespace zoranth
