// Allocation checks for the per-frame paths. They replace the global operator new to
// count calls, which only one file of a program may do, so this file is built as an
// executable of its own instead of joining the kit's shared test executable.
#include "kit/frame_queue.h"
#include "kit/pcm_black_box.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <vector>

namespace {

// Counting is off except inside an AllocationCount's lifetime; the tests are single-threaded.
bool counting = false;
long allocations = 0;

class AllocationCount {
public:
    AllocationCount() {
        allocations = 0;
        counting = true;
    }
    ~AllocationCount() { counting = false; }
    long operator()() const { return allocations; }
};

} // namespace

// Kept out of line: inlined into a caller, GCC would see malloc paired with delete and warn.
[[gnu::noinline]] void* operator new(std::size_t size) {
    if (counting) ++allocations;
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}

[[gnu::noinline]] void operator delete(void* p) noexcept {
    std::free(p);
}

[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace zoranth {
namespace {

std::vector<FrameQueue::Bytes> frames(std::size_t n, std::size_t size = 300) {
    std::vector<FrameQueue::Bytes> out;
    for (std::size_t i = 0; i < n; ++i) out.push_back(FrameQueue::share(std::vector<std::uint8_t>(size, 1)));
    return out;
}

TEST(FrameQueueAllocations, TheCounterSeesAllocations) {
    AllocationCount count;
    auto made = FrameQueue::share(std::vector<std::uint8_t>(300));
    EXPECT_GE(count(), 2); // the bytes and the shared block
}

TEST(FrameQueueAllocations, DequeueAllocatesNothingWhetherItReturnsExpiresOrCompacts) {
    FrameQueue queue(5.0, 0.02); // 250 chunks, the longest budget a guest gets
    auto pool = frames(250);
    for (std::size_t i = 0; i < pool.size(); ++i) queue.enqueue(pool[i], i < 100 ? 1 : 1'000'000);
    pool.clear();

    AllocationCount count;
    const auto first = queue.dequeue(1); // expires 100 on the way, then a batch compaction
    for (int i = 0; i < 100; ++i) queue.dequeue(1);  // crosses another compaction
    while (queue.dequeue(1'000'000)) {}              // expires the rest, drains and resets
    queue.removeAll();
    EXPECT_EQ(count(), 0);
    EXPECT_TRUE(first.has_value());
    EXPECT_GT(queue.expiredFrames(), 100);
}

// The construction-time reservation covers every layout the queue can reach, so a
// guest's steady stream of enqueues, drops and dequeues never grows the storage.
TEST(FrameQueueAllocations, SteadyStreamingNeverGrowsTheStorage) {
    for (double budget : {0.02, 2.0, 5.0}) {
        FrameQueue queue(budget, 0.02);
        const auto pool = frames(16);

        AllocationCount count;
        for (int i = 0; i < 5000; ++i) {
            queue.enqueue(pool[static_cast<std::size_t>(i) % pool.size()], 1'000'000);
            if (i % 3 == 0) queue.dequeue(0); // a slow guest: the queue fills and drops
        }
        while (queue.dequeue(0)) {}
        for (int i = 0; i < 2000; ++i) {
            queue.enqueue(pool[static_cast<std::size_t>(i) % pool.size()], 1'000'000);
            queue.dequeue(0); // a keeping-up guest
        }
        EXPECT_EQ(count(), 0) << "budget " << budget << " s";
        EXPECT_GT(queue.droppedFrames(), 0);
    }
}

TEST(PCMBlackBoxAllocations, AppendingNeverAllocates) {
    PCMBlackBox box(1.0, 48000, 2);
    const std::vector<float> chunk(1920, 0.25f);
    const std::vector<float> oversized(200'000, 0.5f);

    AllocationCount count;
    for (int i = 0; i < 200; ++i) box.append(chunk);
    box.append(oversized);
    EXPECT_EQ(count(), 0);
}

} // namespace
} // namespace zoranth
