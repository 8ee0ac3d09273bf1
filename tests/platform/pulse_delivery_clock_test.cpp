#include "platform/pulse/delivery_clock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <ostream>
#include <random>
#include <string>
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
    // How far delivery i starts from where the one before it ended.
    std::int64_t step(std::size_t i) const {
        return delta(i) -
               DeliveryClock::nanosFor(fragment - deliveries[i - 1].stamp.droppedFrames, rate);
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
         // Fifteen fragments wait behind the first; they all arrive at once, one by one.
         const std::int64_t stall = 150'000'000;
         const auto& first = s.next(stall);
         const std::int64_t arrival = first.arrival;
         for (int i = 0; i < 15; ++i) {
             s.next(arrival - (s.madeAt(s.framesMade + fragment) + latency));
         }
     },
     0},
    {"receiver stalls for 300 ms, then drains the backlog slowly",
     [](Source& s) {
         // Still held up most of the time: three fragments every 20 ms, so it takes longer
         // to catch up than a lateness takes to count as lost frames.
         std::int64_t arrival = s.next(300'000'000).arrival;
         for (;;) {
             arrival += fragmentNanos * 2 / 3;
             const std::int64_t natural = s.madeAt(s.framesMade + fragment) + latency;
             if (arrival <= natural) {
                 break;
             }
             s.next(arrival - natural);
         }
     },
     0},
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
    {"stream moved, its audio carrying on", [](Source& s) { s.clock.noteBreak(); }, 0},
    {"stream suspended for 200 ms",
     [](Source& s) {
         s.clock.noteBreak();
         s.pause(200'000'000);
     },
     1},
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
    // Every stamp not flagged follows on from the one before; none steps back.
    const std::size_t last = source.deliveries.size() - 1;
    std::uint64_t flagged = 0;
    for (std::size_t i = before; i <= last; ++i) {
        ASSERT_GE(source.step(i), -slewBound) << "delivery " << i;
        if (source.deliveries[i].stamp.discontinuity) {
            ++flagged;
        } else {
            ASSERT_LE(source.step(i), slewBound) << "delivery " << i;
        }
    }
    EXPECT_EQ(flagged, c.discontinuities);
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

TEST(DeliveryClockBreaks, AResumedStreamStampsItsFirstFrameWhereItWasMade) {
    Source source;
    source.run(100);
    source.clock.noteBreak();
    source.pause(500'000'000);
    const auto& resumed = source.next();
    EXPECT_TRUE(resumed.stamp.discontinuity);
    EXPECT_EQ(static_cast<std::int64_t>(resumed.stamp.firstFrameNanos), resumed.madeAt + latency);
}

TEST(DeliveryClockBreaks, AFreshAnchorPlacedLateDropsTheBacklogBehindItInsteadOfSteppingBack) {
    Source source;
    source.run(100);
    source.clock.noteBreak();
    source.pause(300'000'000);
    // The resumed stream's first delivery has four more waiting behind it, unseen.
    const std::int64_t arrival = source.next(40'000'000).arrival;
    for (int i = 0; i < 4; ++i) {
        source.next(arrival - (source.madeAt(source.framesMade + fragment) + latency));
    }
    source.run(100);

    EXPECT_EQ(source.clock.discontinuities(), 1u);
    std::uint32_t dropped = 0;
    for (std::size_t i = 101; i < source.deliveries.size(); ++i) {
        ASSERT_FALSE(source.deliveries[i].stamp.discontinuity) << "delivery " << i;
        ASSERT_LE(std::abs(source.step(i)), slewBound) << "delivery " << i;
        dropped += source.deliveries[i].stamp.droppedFrames;
    }
    // What would lie more than a jump ahead of the frames' arrival goes; the rest is
    // left to the slewing.
    EXPECT_GE(dropped, fragment);
    EXPECT_LE(std::abs(source.error(source.deliveries.size() - 1)), 21'000'000);
}

// The capture layer around the clock: a tick every 10 ms asks for silence, which is due once
// the source is suspended or has sent nothing for a long time, and every delivery that ends
// the silence first asks for the time between. Events come in time order, a tick before a
// delivery at the same moment, as the server's event loop runs them.
struct Capture {
    DeliveryClock clock{rate};
    bool suspended = false;
    struct Piece {
        DeliveryClock::Stamp stamp;
        std::uint32_t frames;  // kept
        bool silent;
    };
    std::vector<Piece> pieces;
    std::uint64_t droppedFrames = 0;
    std::int64_t lastArrival = 0;

    void silence(std::uint64_t frames) {
        for (; frames > 0; frames -= std::min<std::uint64_t>(frames, fragment)) {
            const auto count =
                static_cast<std::uint32_t>(std::min<std::uint64_t>(frames, fragment));
            pieces.push_back({clock.stampSilence(count), count, true});
        }
    }
    void tick(std::int64_t now) {
        const std::uint64_t due = clock.silenceDue(static_cast<std::uint64_t>(now), suspended);
        silence(due / fragment * fragment);
    }
    void receive(std::int64_t arrival) {
        const auto at = static_cast<std::uint64_t>(arrival);
        lastArrival = arrival;
        silence(clock.silenceBefore(at, fragment));
        const DeliveryClock::Stamp stamp = clock.stamp(at, fragment);
        droppedFrames += stamp.droppedFrames;
        if (stamp.droppedFrames < fragment) {
            pieces.push_back({stamp, fragment - stamp.droppedFrames, false});
        }
    }
    std::uint64_t silentFrames() const {
        std::uint64_t frames = 0;
        for (const Piece& piece : pieces) {
            frames += piece.silent ? piece.frames : 0;
        }
        return frames;
    }
    std::int64_t end() const {
        return static_cast<std::int64_t>(pieces.back().stamp.firstFrameNanos) +
               DeliveryClock::nanosFor(pieces.back().frames, rate);
    }
};

struct SilenceCase {
    const char* name;
    std::int64_t quietFrom;  // from the take's start
    std::int64_t quietFor;
    // What is quiet: the source makes no frames (suspended: and the server says so), or the
    // server holds on to the frames it makes and hands them over all at once afterwards.
    enum class Quiet { idleSource, suspendedSource, heldFrames } quiet;
    std::uint64_t silentFramesAtLeast;
    std::uint64_t silentFramesAtMost;
    bool dropsAudio;
    std::int64_t ticksHeldFor = 0;  // the capture's own ticks held up too, up to the end
};

void PrintTo(const SilenceCase& c, std::ostream* out) {
    *out << c.name;
}

constexpr std::uint64_t framesPerMs = rate / 1000;

const SilenceCase silenceCases[] = {
    {"frames held up for 300 ms", 1'000'000'000, 300'000'000, SilenceCase::Quiet::heldFrames, 0, 0,
     false},
    {"frames held up for 480 ms", 1'000'000'000, 480'000'000, SilenceCase::Quiet::heldFrames, 0, 0,
     false},
    // Held up for longer than the silence waits: the silence has covered the time by the
    // time the frames arrive, and those frames give way to it.
    {"frames held up for 800 ms", 1'000'000'000, 800'000'000, SilenceCase::Quiet::heldFrames,
     790 * framesPerMs, 810 * framesPerMs, true},
    // The first frames then land after the silence, and the rest of the backlog behind them.
    {"frames held up for 800 ms, the ticks for the last 35 ms of it", 1'000'000'000, 800'000'000,
     SilenceCase::Quiet::heldFrames, 790 * framesPerMs, 810 * framesPerMs, true, 35'000'000},
    {"source idle for 2 s", 1'000'000'000, 2'000'000'000, SilenceCase::Quiet::idleSource,
     1990 * framesPerMs, 2010 * framesPerMs, false},
    {"source suspended for 1 s", 1'000'000'000, 1'000'000'000, SilenceCase::Quiet::suspendedSource,
     990 * framesPerMs, 1010 * framesPerMs, false},
    {"stream opened on a quiet source", 0, 1'000'000'000, SilenceCase::Quiet::idleSource,
     990 * framesPerMs, 1010 * framesPerMs, false},
};

class DeliveryClockSilence : public testing::TestWithParam<SilenceCase> {};

TEST_P(DeliveryClockSilence, CoversOnlyTimeTheSourcesAudioDoesNot) {
    const SilenceCase& c = GetParam();
    const std::int64_t quietFrom = start + c.quietFrom;
    const std::int64_t quietUntil = quietFrom + c.quietFor;
    const std::int64_t finish = quietUntil + 2'000'000'000;
    const bool sourceStops = c.quiet != SilenceCase::Quiet::heldFrames;

    // When each fragment reaches the capture.
    std::vector<std::int64_t> arrivals;
    std::int64_t held = 0;
    for (std::int64_t made = start; made < finish; made += fragmentNanos) {
        if (sourceStops && made >= quietFrom && made < quietUntil) {
            continue;
        }
        std::int64_t arrival = made + fragmentNanos + latency;
        if (!sourceStops && arrival >= quietFrom && arrival < quietUntil) {
            arrival = quietUntil + held++ * 20'000;  // one after the other, as fast as they go
        }
        arrivals.push_back(arrivals.empty() ? arrival : std::max(arrival, arrivals.back()));
    }

    Capture capture;
    capture.clock.restart(static_cast<std::uint64_t>(start));
    std::size_t next = 0;
    for (std::int64_t tick = start + 3'000'000; tick < finish; tick += fragmentNanos) {
        for (; next < arrivals.size() && arrivals[next] < tick; ++next) {
            capture.receive(arrivals[next]);
        }
        const bool suspended = c.quiet == SilenceCase::Quiet::suspendedSource &&
                               tick >= quietFrom && tick < quietUntil + latency;
        if (suspended != capture.suspended) {
            capture.suspended = suspended;
            capture.clock.noteBreak();
        }
        if (tick < quietUntil - c.ticksHeldFor || tick >= quietUntil) {
            capture.tick(tick);
        }
    }

    EXPECT_EQ(capture.clock.discontinuities(), 0u);
    const auto& pieces = capture.pieces;
    for (std::size_t i = 1; i < pieces.size(); ++i) {
        ASSERT_FALSE(pieces[i].stamp.discontinuity) << "piece " << i;
        const auto delta = static_cast<std::int64_t>(pieces[i].stamp.firstFrameNanos -
                                                     pieces[i - 1].stamp.firstFrameNanos);
        ASSERT_LE(std::abs(delta - DeliveryClock::nanosFor(pieces[i - 1].frames, rate)), slewBound)
            << "piece " << i;
    }
    EXPECT_GE(capture.silentFrames(), c.silentFramesAtLeast);
    EXPECT_LE(capture.silentFrames(), c.silentFramesAtMost);
    EXPECT_EQ(capture.droppedFrames > 0, c.dropsAudio);
    // The timeline kept time: silence and audio together last as long as the take, so it
    // ends where the last frame arrived.
    EXPECT_LE(std::abs(capture.end() - capture.lastArrival), 1'000'000);
}

TEST(DeliveryClockSilence, IsDueSoonerForASourceThatHasNotStartedOrIsSuspended) {
    constexpr std::int64_t ms = 1'000'000;
    DeliveryClock clock{rate};
    EXPECT_EQ(clock.silenceDue(start, true), 0u) << "no stream yet";
    clock.restart(start);
    EXPECT_EQ(clock.silenceDue(start + 90 * ms, false), 0u);
    EXPECT_EQ(clock.silenceDue(start + 110 * ms, false), 110 * framesPerMs);

    // Once the source has been heard, only a long absence or a suspension makes it due.
    const std::int64_t heard = start + 200 * ms;
    const auto first = clock.stamp(heard, fragment);
    const auto end = static_cast<std::int64_t>(first.firstFrameNanos) + fragmentNanos;
    EXPECT_EQ(clock.silenceDue(heard + 400 * ms, false), 0u);
    EXPECT_EQ(clock.silenceDue(heard + 400 * ms, true),
              DeliveryClock::framesIn(heard + 400 * ms - end, rate));
    EXPECT_EQ(clock.silenceDue(heard + 510 * ms, false),
              DeliveryClock::framesIn(heard + 510 * ms - end, rate));
}

INSTANTIATE_TEST_SUITE_P(Cases, DeliveryClockSilence, testing::ValuesIn(silenceCases),
                         [](const auto& info) {
                             std::string name;
                             for (const char* p = info.param.name; *p; ++p) {
                                 name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                             }
                             return name;
                         });

TEST(DeliveryClockArithmetic, FrameDurationsStayExactForDaysOfAudio) {
    EXPECT_EQ(DeliveryClock::nanosFor(480, 48000), 10'000'000);
    EXPECT_EQ(DeliveryClock::nanosFor(1, 48000), 20'833);
    // A week at 48 kHz overflows frames × 1e9 in 64 bits; the split arithmetic does not.
    const std::uint64_t week = 48000ull * 86400 * 7;
    EXPECT_EQ(DeliveryClock::nanosFor(week + 480, 48000), 604'800'000'000'000 + 10'000'000);
}

}  // namespace
}  // namespace zoranth
