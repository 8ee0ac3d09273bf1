#include "host/serial_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

namespace {

using zoranth::SerialQueue;
using namespace std::chrono_literals;

TEST(SerialQueue, RunsWorkOneAtATimeInOrder) {
    SerialQueue queue("test.order");
    std::vector<int> seen;  // touched only on the queue
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    for (int i = 0; i < 1000; ++i) {
        queue.post([&, i] {
            if (running.fetch_add(1) != 0) {
                overlapped = true;
            }
            seen.push_back(i);
            running.fetch_sub(1);
        });
    }
    queue.sync([] {});
    EXPECT_FALSE(overlapped);
    ASSERT_EQ(seen.size(), 1000u);
    for (int i = 0; i < 1000; ++i) {
        EXPECT_EQ(seen[i], i);
    }
}

TEST(SerialQueue, TwoQueuesRunSideBySide) {
    SerialQueue first("test.first");
    SerialQueue second("test.second");
    std::promise<void> secondRan;
    auto secondDone = secondRan.get_future();
    // The first queue blocks until the second has run: only possible in parallel.
    first.post([&] { secondDone.wait_for(5s); });
    second.post([&] { secondRan.set_value(); });
    first.sync([] {});
    EXPECT_EQ(secondDone.wait_for(0s), std::future_status::ready);
}

TEST(SerialQueue, KnowsWhetherTheCallerIsOnIt) {
    SerialQueue queue("test.current");
    EXPECT_FALSE(queue.isCurrent());
    bool inside = false;
    queue.sync([&] { inside = queue.isCurrent(); });
    EXPECT_TRUE(inside);
}

TEST(SerialQueue, DelayedWorkRunsOnTheQueueAfterTheDelay) {
    SerialQueue queue("test.after");
    std::promise<bool> ran;
    const auto posted = std::chrono::steady_clock::now();
    queue.postAfter(30ms, [&] { ran.set_value(queue.isCurrent()); });
    auto result = ran.get_future();
    ASSERT_EQ(result.wait_for(5s), std::future_status::ready);
    EXPECT_TRUE(result.get());
    EXPECT_GE(std::chrono::steady_clock::now() - posted, 30ms);
}

}  // namespace
