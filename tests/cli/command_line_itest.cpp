// Runs the built executable and checks what it prints and how it exits.
#include <gtest/gtest.h>

#include <string>

#include "host_run.h"

namespace {

// Runs the host with the given shell-quoted arguments and environment assignments;
// standard error is kept apart unless the arguments redirect it.
using zoranth::HostRun;

HostRun runHost(const std::string& environment, const std::string& arguments) {
    return zoranth::runShell("env " + environment + " " + zoranth::hostExecutable() + " " +
                             arguments);
}

const std::string isolatedState = "XDG_STATE_HOME=/tmp/zoranth-cli-itest-state";

TEST(HostExecutable, GoldensPrintTheSixReferenceFrames) {
    const HostRun run = runHost(isolatedState, "--goldens");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output,
              "hello: 5a52544802010a0080bb00000210c003dc05\n"
              "timeReq: 5a52544802030800efcdab8967452301\n"
              "timeResp: 5a52544802041000efcdab89674523018877665544332211\n"
              "bye: 5a52544802060000\n"
              "audio: 5a5254480202180001000000bbccddeeff000000c0030000dc05deadbeef0102\n"
              "clientStat: "
              "5a5254480205210000d43000e0c81000eb32a4f8ffffffff04000000c0030000d205066950686f6e65"
              "\n");
}

const std::string usageWithoutLogPath =
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
    "\n";

TEST(HostExecutable, HelpPrintsTheUsageEndingWithTheLogPath) {
    for (const char* option : {"--help", "-h"}) {
        const HostRun run = runHost(isolatedState, option);
        EXPECT_EQ(run.status, 0) << option;
        EXPECT_EQ(run.output,
                  usageWithoutLogPath +
                      "Logs are teed to /tmp/zoranth-cli-itest-state/zoranth/host.log\n")
            << option;
    }
}

TEST(HostExecutable, TheLogPathFollowsHomeWithoutAStateFolder) {
    const HostRun run = runHost("-u XDG_STATE_HOME HOME=/tmp/zoranth-cli-itest-home", "--help");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, usageWithoutLogPath +
                              "Logs are teed to "
                              "/tmp/zoranth-cli-itest-home/.local/state/zoranth/host.log\n");
}

}  // namespace
