#include "host/host_status_line.h"

#include <gtest/gtest.h>

namespace {

using zoranth::HostStatusLine;
using Guest = HostStatusLine::Guest;

TEST(HostStatusLineGuest, WritesTheKnownFiguresOnly) {
    const struct {
        Guest guest;
        const char* expected;
    } cases[] = {
        {{"guest 1", 0, 0, 0, 0, {}, {}, {}, {}}, "  [guest 1  sent 0.0 MB  q 0.00  drop 0  exp 0]"},
        {{"Ana's iPhone", 12'345'678, 0.256, 3, 7, 12.34, 4500, {}, {}},
         "  [Ana's iPhone  sent 12.3 MB  q 0.26  drop 3  exp 7  rtt 12.3 ms  buf 4500 ms]"},
        {{"10.0.0.7:50123", 1'000'000, 1.0, 0, 0, 8.0, 3000, 0.31, 41},
         "  [10.0.0.7:50123  sent 1.0 MB  q 1.00  drop 0  exp 0  rtt 8.0 ms  buf 3000 ms  err +0.3 ms  L 41 ms]"},
        {{"late", 0, 0.5, 0, 0, 20.0, 4500, -3.26, 120},
         "  [late  sent 0.0 MB  q 0.50  drop 0  exp 0  rtt 20.0 ms  buf 4500 ms  err -3.3 ms  L 120 ms]"},
    };
    for (const auto& [guest, expected] : cases) {
        EXPECT_EQ(HostStatusLine::guest(guest), expected);
    }
}

}  // namespace
