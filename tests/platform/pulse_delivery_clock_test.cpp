#include "platform/pulse/delivery_clock.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <ostream>
#include <random>
#include <vector>

namespace zoranth {
namespace {

constexpr std::uint32_t rate = 48000;
constexpr std::uint32_t fragment = 480;
constexpr std::int64_t fragmentNanos = 10'000'000;
constexpr std::int64_t start = 5'000'000'000;  // the monotonic clock at the first frame
constexpr std::int64_t latency = 2'000'000;    // from a frame being made to its earliest arrival
constexpr std::int64_t slewBound = 5'000;      // 500 ppm of one 10 ms delivery

// A capture source seen from the receiving end: fragments are made at the source's own pace
// (which may drift), arrive after a latency plus jitter, and the clock stamps each.
struct Source {
    DeliveryClock clock{rate};
    std::mt19937 random{42};
    double drift = 0;            // source rate error, e.g. 1e-4 = 100 ppm fast
    std::int64_t maxJitter = 0;  // uniform extra delay per delivery
    std::uint64_t framesMade = 0;
    std::int64_t lostNanos = 0;  // source time the receiver never saw frames for

    struct Delivery {
        DeliveryClock::Stamp stamp;
        std::int64_t madeAt;  // when its first frame was really made
        std::int64_t arrival;
    };
    std::vector<Delivery> deliveries;

    std::int64_t madeAt(std::uint64_t frame) const {
        return start + lostNanos +
               static_cast<std::int64_t>(static_cast<double>(DeliveryClock::nanosFor(frame, rate)) /
                                         (1 + drift));
    }
    std::int64_t jitter() {
        return maxJitter == 0 ? 0
                              : std::uniform_int_distribution<std::int64_t>(0, maxJitter)(random);
    }

    // The next fragment, arriving `extraDelay` later than usual.
    const Delivery& next(std::int64_t extraDelay = 0, std::uint64_t backlog = 0) {
        const std::int64_t firstMade = madeAt(framesMade);
        framesMade += fragment;
        const std::int64_t arrival = madeAt(framesMade) + latency + jitter() + extraDelay;
        deliveries.push_back({clock.stamp(static_cast<std::uint64_t>(arrival), fragment, backlog),
                              firstMade, arrival});
        return deliveries.back();
    }
    void run(int count) {
        for (int i = 0; i < count; ++i) {
            next();
        }
    }
    // The source stops making frames for a while (a suspended or starved device).
    void pause(std::int64_t nanos) { lostNanos += nanos; }

    std::int64_t delta(std::size_t i) const {
        return static_cast<std::int64_t>(deliveries[i].stamp.firstFrameNanos -
                                         deliveries[i - 1].stamp.firstFrameNanos);
    }
    // How far a stamp sits from when its first frame became available to the receiver.
    std::int64_t error(std::size_t i) const {
        return static_cast<std::int64_t>(deliveries[i].stamp.firstFrameNanos) -
               (deliveries[i].madeAt + latency);
    }
};

TEST(DeliveryClockSteadiness, JitteryArrivalsGiveStampsExactlyOneFragmentApart) {
    Source source;
    source.next();  // the first delivery happens to arrive on time
    source.maxJitter = 4'000'000;
    source.run(6000);  // one minute

    EXPECT_EQ(source.clock.discontinuities(), 0u);
    for (std::size_t i = 1; i < source.deliveries.size(); ++i) {
        ASSERT_EQ(source.delta(i), fragmentNanos) << "delivery " << i;
    }
    EXPECT_LE(std::abs(source.error(source.deliveries.size() - 1)), 1'000'000);
}

TEST(DeliveryClockSteadiness, LateFirstDeliveryIsSlewedAwayWithoutAStep) {
    Source source;
    source.maxJitter = 1'000'000;
    source.next(8'000'000);  // the first delivery is 8 ms late, so the first anchor is too
    source.run(3000);

    EXPECT_EQ(source.clock.discontinuities(), 0u);
    for (std::size_t i = 1; i < source.deliveries.size(); ++i) {
        ASSERT_LE(std::abs(source.delta(i) - fragmentNanos), slewBound) << "delivery " << i;
    }
    EXPECT_GT(source.error(0), 7'000'000);
    EXPECT_LE(std::abs(source.error(source.deliveries.size() - 1)), 2'000'000);
}

TEST(DeliveryClockSteadiness, SourceClockDriftIsFollowedBySlewing) {
    for (const double drift : {1e-4, -1e-4}) {
        SCOPED_TRACE(drift);
        Source source;
        source.drift = drift;
        source.maxJitter = 2'000'000;
        source.run(60'000);  // ten minutes: 60 ms of drift if nothing followed it

        EXPECT_EQ(source.clock.discontinuities(), 0u);
        std::int64_t worst = 0;
        for (std::size_t i = 1; i < source.deliveries.size(); ++i) {
            ASSERT_LE(std::abs(source.delta(i) - fragmentNanos), slewBound) << "delivery " << i;
            worst = std::max(worst, std::abs(source.error(i)));
        }
        EXPECT_LE(worst, 4'000'000);
    }
}

struct BreakCase {
    const char* name;
    void (*disturb)(Source&);
    std::uint64_t discontinuities;
};

void PrintTo(const BreakCase& c, std::ostream* out) {
    *out << c.name;
}

const BreakCase breakCases[] = {
    {"source stalls for 150 ms", [](Source& s) { s.pause(150'000'000); }, 1},
    {"receiver stalls for 150 ms, then drains the backlog",
     [](Source& s) {
         // Fifteen fragments wait behind the first; they all arrive at once.
         const std::int64_t stall = 150'000'000;
         const auto& first = s.next(stall);
         const std::int64_t arrival = first.arrival;
         for (int i = 0; i < 15; ++i) {
             s.next(arrival - (s.madeAt(s.framesMade + fragment) + latency));
         }
     },
     1},
    {"frames lost on the way: the timeline falls 50 ms behind",
     [](Source& s) { s.pause(50'000'000); }, 1},
    {"an 80 ms hiccup with nothing lost",
     [](Source& s) {
         const auto& late = s.next(80'000'000);
         const std::int64_t arrival = late.arrival;
         for (int i = 0; i < 8; ++i) {
             s.next(std::max<std::int64_t>(
                 0, arrival - (s.madeAt(s.framesMade + fragment) + latency)));
         }
     },
     0},
    {"one delivery 40 ms late", [](Source& s) { s.next(40'000'000); }, 0},
    {"stream moved or suspended", [](Source& s) { s.clock.noteBreak(); }, 1},
};

class DeliveryClockBreaks : public testing::TestWithParam<BreakCase> {};

TEST_P(DeliveryClockBreaks, OnlyRealBreaksStartAFreshAnchor) {
    const BreakCase& c = GetParam();
    Source source;
    source.next();
    source.maxJitter = 1'000'000;
    source.run(300);
    const std::size_t before = source.deliveries.size();
    c.disturb(source);
    source.run(300);

    EXPECT_EQ(source.clock.discontinuities(), c.discontinuities);
    // Every stamp not flagged follows on from the one before.
    const std::size_t last = source.deliveries.size() - 1;
    std::uint64_t flagged = 0;
    for (std::size_t i = before; i <= last; ++i) {
        if (source.deliveries[i].stamp.discontinuity) {
            ++flagged;
        } else {
            ASSERT_LE(std::abs(source.delta(i) - fragmentNanos), slewBound) << "delivery " << i;
        }
    }
    EXPECT_EQ(flagged == 0, c.discontinuities == 0);
    // Whatever happened, the stamps end up on the real timeline again.
    EXPECT_LE(std::abs(source.error(last)), 2'000'000);
}

INSTANTIATE_TEST_SUITE_P(Cases, DeliveryClockBreaks, testing::ValuesIn(breakCases),
                         [](const auto& info) {
                             std::string name;
                             for (const char* p = info.param.name; *p; ++p) {
                                 name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                             }
                             return name;
                         });

TEST(DeliveryClockBreaks, AStallStampsTheFirstFrameAfterItWhereItReallyWasMade) {
    Source source;
    source.run(100);
    source.pause(500'000'000);
    const auto& resumed = source.next();
    EXPECT_TRUE(resumed.stamp.discontinuity);
    EXPECT_EQ(static_cast<std::int64_t>(resumed.stamp.firstFrameNanos), resumed.madeAt + latency);
}

TEST(DeliveryClockArithmetic, FrameDurationsStayExactForDaysOfAudio) {
    EXPECT_EQ(DeliveryClock::nanosFor(480, 48000), 10'000'000);
    EXPECT_EQ(DeliveryClock::nanosFor(1, 48000), 20'833);
    // A week at 48 kHz overflows frames × 1e9 in 64 bits; the split arithmetic does not.
    const std::uint64_t week = 48000ull * 86400 * 7;
    EXPECT_EQ(DeliveryClock::nanosFor(week + 480, 48000), 604'800'000'000'000 + 10'000'000);
}

}  // namespace
}  // namespace zoranth
