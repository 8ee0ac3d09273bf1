// The lines serve mode prints, and the conversions its sink makes on the way to the wire.
#include <gtest/gtest.h>

#include <algorithm>

#include "cli/serve_report.h"
#include "host/checks/system_checkup.h"
#include "host/net/broadcast_server.h"
#include "host/web/join_code.h"

namespace zoranth {
namespace {

// A join link without its code: what a link too long for a QR code leaves.
const ServeReport::Join linkOnly{"http://192.168.1.20:7000/", ""};

TEST(ServeAnnouncement, NamesTheServiceHowToJoinAndHowToReceive) {
    const auto lines =
        ServeReport::announcement(7000, "Basement", {"192.168.1.20", "10.0.0.5"}, 1500,
                                  "python3 Tools/recv.py", {"never shown"}, linkOnly);
    const std::vector<std::string> expected{
        "",
        "listening on port 7000, advertised as \"Basement\" (_zoranth._tcp)",
        "  join from a phone: http://192.168.1.20:7000/",
        "  receive with:  python3 Tools/recv.py --host 192.168.1.20 --port 7000 --play --stats",
        "  receive with:  python3 Tools/recv.py --host 10.0.0.5 --port 7000 --play --stats",
        "",
        "  validate sync: python3 Tools/recv.py --host 127.0.0.1 --port 7000 --raw --timesync "
        "--assert-loopback --seconds 15",
        "",
        "buffer delay: 1500 ms.  Ctrl-C to stop.",
        "",
    };
    EXPECT_EQ(lines, expected);
}

TEST(ServeAnnouncement, WithoutAConfirmedNameWarnsThatGuestsCannotDiscoverTheHost) {
    const auto warning = SystemCheckup::discoveryWarning(ServiceRegistration::Failure{
        ServiceRegistration::Failure::Case::daemonMissing, -26, "Daemon not running"});
    ASSERT_EQ(warning.size(), 2u);
    const auto lines = ServeReport::announcement(7000, std::nullopt, {}, 4500,
                                                 "python3 Tools/recv.py", warning, linkOnly);
    ASSERT_EQ(lines.size(), 10u);
    EXPECT_EQ(lines[1],
              "listening on port 7000, but avahi-daemon never confirmed a registered service "
              "name.");
    EXPECT_EQ(lines[2], warning[0]);
    EXPECT_TRUE(
        lines[2].starts_with("WARNING: guests will not be able to discover this computer: "
                             "avahi-daemon is not running (Avahi: Daemon not running)"))
        << lines[2];
    EXPECT_EQ(lines[3], warning[1]);
    // Phones join by the link, which needs no discovery.
    EXPECT_EQ(lines[4], "  join from a phone: http://192.168.1.20:7000/");
    // No address: no "receive with" line, but the loopback check is still offered.
    EXPECT_TRUE(lines[6].starts_with("  validate sync: "));
    EXPECT_EQ(lines[8], "buffer delay: 4500 ms.  Ctrl-C to stop.");
}

TEST(ServeAnnouncement, NamesTheReceiverWhereItIsInstalled) {
    const auto lines =
        ServeReport::announcement(7000, "Basement", {"192.168.1.20"}, 1500,
                                  "python3 /opt/zoranth/share/zoranth/Tools/recv.py", {}, linkOnly);
    EXPECT_EQ(
        lines[3],
        "  receive with:  python3 /opt/zoranth/share/zoranth/Tools/recv.py --host 192.168.1.20 "
        "--port 7000 --play --stats");
    EXPECT_TRUE(lines[5].starts_with(
        "  validate sync: python3 /opt/zoranth/share/zoranth/Tools/recv.py --host 127.0.0.1"));
}

// Characters, not bytes: the code is drawn in half blocks of three bytes each.
std::size_t characters(const std::string& text) {
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

TEST(ServeAnnouncement, DrawsTheJoinCodeUnderTheLinkBeforeTheReceiverLines) {
    const std::string link = "http://192.168.1.20:7000/";
    const auto code = JoinCode::make(link);
    ASSERT_TRUE(code) << code.error();
    const std::string drawing = code->terminalText();
    const auto lines = ServeReport::announcement(7000, "Basement", {"192.168.1.20"}, 1500,
                                                 "python3 Tools/recv.py", {}, {link, drawing});
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[2], "  join from a phone: http://192.168.1.20:7000/  (or scan this code)");
    EXPECT_EQ(lines[3], "");

    // Every line of the drawing, in order, indented like the banner, and then an empty
    // line before the receiver's.
    std::vector<std::string> drawn;
    for (std::size_t start = 0, end; (end = drawing.find('\n', start)) != std::string::npos;
         start = end + 1) {
        drawn.push_back("  " + drawing.substr(start, end - start));
    }
    const std::size_t rows = static_cast<std::size_t>(code->size() + 2 * 2 + 1) / 2;
    ASSERT_EQ(drawn.size(), rows);
    ASSERT_GE(lines.size(), 4 + rows + 2);
    const std::vector<std::string> shown(lines.begin() + 4,
                                         lines.begin() + 4 + static_cast<long>(rows));
    EXPECT_EQ(shown, drawn);
    for (const std::string& line : shown) {
        EXPECT_EQ(characters(line), 2 + static_cast<std::size_t>(code->size()) + 2 * 2) << line;
    }
    EXPECT_EQ(lines[4 + rows], "");
    EXPECT_TRUE(
        lines[5 + rows].starts_with("  receive with:  python3 Tools/recv.py --host "
                                    "192.168.1.20 --port 7000"))
        << lines[5 + rows];
}

TEST(ServeStatusLine, ShowsLevelsCountsAndADeniedCapture) {
    CapturePipeline::Stats stats;
    stats.peak = {0.5f};  // mono: the right channel reads as the floor
    stats.chunksProduced = 200;
    stats.ringDepth = 3;
    stats.ringOverruns = 1;
    stats.discontinuities = 2;
    EXPECT_EQ(
        ServeReport::statusLine(4.02, stats, 1),
        "      4s    -6.0/ -60.0 dBFS  1 client(s)  chunks 200  ring 3  overrun 1  discont 2");

    stats.peak = {0.0f, 2.0f};
    stats.diagnosis = SilenceWatchdog::Diagnosis::likelyDenied(12);
    EXPECT_EQ(ServeReport::statusLine(12, stats, 0),
              "     12s   -60.0/   6.0 dBFS  0 client(s)  chunks 200  ring 3  overrun 1  discont 2"
              "  [SILENT?]");
}

TEST(ServeGuestLine, AddsTheGuestsReportOnceThereIsOne) {
    GuestConnection::Snapshot guest;
    guest.id = 3;
    guest.endpoint = "127.0.0.1:50123";
    guest.queuedBytes = 1234;
    guest.occupancy = 0.25;
    guest.framesSent = 500;
    guest.droppedFrames = 2;
    guest.expiredFrames = 1;
    EXPECT_EQ(ServeReport::guestLine(guest),
              "      client 3   127.0.0.1:50123        queued    1234 B ( 25%)  sent    500  "
              "dropped     2  stale     1");

    ClientStat stat;
    stat.rttNanos = 1'250'000;
    stat.offsetNanos = -300'000;
    stat.syncErrorMicros = 1500;
    stat.latencyMs = 40;
    stat.deviceName = "Pixel";
    guest.stats = stat;
    guest.isOverBudget = true;
    EXPECT_TRUE(ServeReport::guestLine(guest).ends_with(
        "  rtt 1.25ms  offset -0.30ms  err +1.5ms  L 40ms  \"Pixel\"  [OVER BUDGET]"));
}

TEST(ServeSummary, CountsWhatTheRaveProduced) {
    CapturePipeline::Stats stats;
    stats.chunksProduced = 250;
    stats.ringOverruns = 0;
    stats.discontinuities = 1;
    const std::vector<std::string> expected{"", "=== serve summary ===", "chunks produced:   250",
                                            "ring overruns:     0", "discontinuities:   1",
                                            "work shed:         0 steps"};
    EXPECT_EQ(ServeReport::summary(stats), expected);
}

TEST(ServeListening, TheEnvironmentCanPinTheListeningAddress) {
    EXPECT_FALSE(BroadcastServer::listeningFor(7000, nullptr)->address);
    EXPECT_FALSE(BroadcastServer::listeningFor(7000, "")->address);
    const auto loopback = BroadcastServer::listeningFor(7000, "127.0.0.1");
    ASSERT_TRUE(loopback && loopback->address);
    EXPECT_EQ(loopback->address->to_string(), "127.0.0.1");
    EXPECT_EQ(loopback->preferredPort, 7000);
    const auto bad = BroadcastServer::listeningFor(7000, "localhost; rm");
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error(), "ZORANTH_LISTEN_ADDRESS is not an IP address: \"localhost; rm\"");
}

}  // namespace
}  // namespace zoranth
