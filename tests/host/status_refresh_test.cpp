// The status refresh's texts: the status line with each guest's figures.
#include <gtest/gtest.h>

#include "host/session/status_refresh.h"

namespace zoranth {
namespace {

TEST(StatusLine, SaysWhatTheCaptureAndEachGuestAreDoing) {
    CapturePipeline::Stats stats;
    stats.chunksProduced = 1200;
    stats.ioProcDeliveries = 2400;
    stats.ringDepth = 1;
    stats.ringOverruns = 2;
    stats.discontinuities = 3;
    stats.encodedBytes = 1'250'000;
    stats.spliceRate = 0.031;

    GuestConnection::Snapshot measured;
    measured.id = 1;
    measured.endpoint = "127.0.0.1:50000";
    measured.bytesSent = 600'000;
    measured.occupancy = 0.1;
    measured.droppedFrames = 1;
    measured.expiredFrames = 2;
    measured.stats = ClientStat{};
    measured.stats->deviceName = "Pixel";
    measured.stats->rttNanos = 4'200'000;
    measured.stats->bufferDepthMs = 4500;
    measured.stats->syncErrorMicros = -300;
    measured.stats->latencyMs = 40;
    measured.stats->flags = ClientStat::Flag::hasMeasurement;

    GuestConnection::Snapshot silent;
    silent.id = 2;
    silent.endpoint = "127.0.0.1:50001";
    silent.stats = ClientStat{};  // a report without a name or a measurement

    const std::vector<GuestConnection::Snapshot> guests{measured, silent};
    EXPECT_EQ(StatusRefresh::statusLine(stats, guests),
              "status  chunks 1200  ioproc 2400  ring 1/2  disc 3  out 1.2 MB  splice 3%  guests 2"
              "  [Pixel  sent 0.6 MB  q 0.10  drop 1  exp 2  rtt 4.2 ms  buf 4500 ms"
              "  err -0.3 ms  L 40 ms]"
              "  [127.0.0.1:50001  sent 0.0 MB  q 0.00  drop 0  exp 0  rtt 0.0 ms  buf 0 ms]");
    EXPECT_EQ(StatusRefresh::statusLine(CapturePipeline::Stats{}, {}),
              "status  chunks 0  ioproc 0  ring 0/0  disc 0  out 0.0 MB  guests 0");
}

TEST(StatusLine, EachGuestShowsOnlyTheFiguresItsReportHas) {
    struct Case {
        const char* name;
        std::int64_t bytesSent;
        double occupancy;
        std::int64_t dropped;
        std::int64_t expired;
        std::optional<ClientStat> report;
        const char* expected;
    };
    ClientStat named;
    named.deviceName = "Ana's phone";
    named.rttNanos = 12'340'000;
    named.bufferDepthMs = 4500;
    ClientStat measured;
    measured.rttNanos = 8'000'000;
    measured.bufferDepthMs = 3000;
    measured.syncErrorMicros = 310;
    measured.latencyMs = 41;
    measured.flags = ClientStat::Flag::hasMeasurement;
    ClientStat late = measured;
    late.deviceName = "late";
    late.rttNanos = 20'000'000;
    late.bufferDepthMs = 4500;
    late.syncErrorMicros = -3260;
    late.latencyMs = 120;
    const Case cases[] = {
        {"no report", 0, 0, 0, 0, std::nullopt,
         "  [127.0.0.1:50000  sent 0.0 MB  q 0.00  drop 0  exp 0]"},
        {"a report", 12'345'678, 0.256, 3, 7, named,
         "  [Ana's phone  sent 12.3 MB  q 0.26  drop 3  exp 7  rtt 12.3 ms  buf 4500 ms]"},
        {"a measurement", 1'000'000, 1.0, 0, 0, measured,
         "  [127.0.0.1:50000  sent 1.0 MB  q 1.00  drop 0  exp 0  rtt 8.0 ms  buf 3000 ms  err "
         "+0.3 ms  L 41 ms]"},
        {"behind", 0, 0.5, 0, 0, late,
         "  [late  sent 0.0 MB  q 0.50  drop 0  exp 0  rtt 20.0 ms  buf 4500 ms  err -3.3 ms  L "
         "120 ms]"},
    };
    for (const Case& c : cases) {
        GuestConnection::Snapshot snapshot;
        snapshot.id = 1;
        snapshot.endpoint = "127.0.0.1:50000";
        snapshot.bytesSent = c.bytesSent;
        snapshot.occupancy = c.occupancy;
        snapshot.droppedFrames = c.dropped;
        snapshot.expiredFrames = c.expired;
        snapshot.stats = c.report;
        EXPECT_EQ(StatusRefresh::guestPart(snapshot), c.expected) << c.name;
    }
}

}  // namespace
}  // namespace zoranth
