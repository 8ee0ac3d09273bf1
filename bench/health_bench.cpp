// One status refresh's decision work for a room of guests: network health, link
// strain, and the room and per-guest quality controllers. Reports refreshes per second
// and heap allocations per refresh.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "host/network_health.h"
#include "host/quality_controller.h"

namespace {

std::atomic<long> allocations{0};

void* countedAllocation(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}

}  // namespace

// Counting replacements that forward to malloc and free. GCC cannot see that new is
// replaced too and takes free() here for a mismatch.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
    return countedAllocation(size);
}
void* operator new[](std::size_t size) {
    return countedAllocation(size);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
#pragma GCC diagnostic pop

namespace zoranth {
namespace {

void BM_StatusRefresh(benchmark::State& state) {
    const int guests = static_cast<int>(state.range(0));
    std::vector<NetworkHealth::ClientSample> clients;
    for (int i = 0; i < guests; ++i) {
        NetworkHealth::ClientSample sample;
        sample.id = i + 1;
        sample.name = "Guest phone number " + std::to_string(i + 1);
        sample.clientBufferMs = 4400;
        sample.minRttMs = 4.0 + i % 5;
        clients.push_back(sample);
    }
    NetworkHealth health;
    QualityController room;
    std::vector<QualityController> perGuest(clients.size());

    double now = 1000;
    std::int64_t chunks = 0;
    long refreshes = 0;
    const long allocationsBefore = allocations.load();
    for (auto _ : state) {
        now += 0.25;
        chunks += 12;
        for (std::size_t i = 0; i < clients.size(); ++i) {
            auto& client = clients[i];
            client.bytesSent += 8000;
            client.occupancy = (i % 7 == 0) ? 0.3 : 0.05;
            client.rttMs = *client.minRttMs + static_cast<double>((refreshes + i) % 17);
            // Every third guest loses a frame now and then.
            if (i % 3 == 0 && refreshes % 4 == 0) {
                ++client.droppedFrames;
            }
        }
        NetworkHealth::Verdict verdict = health.assess(now, chunks, 4500, clients);
        verdict.linkStrain = health.measureLinks(clients, 4500);
        const auto kind = verdict.diagnosis.kind;
        room.update(now, kind == NetworkHealth::Diagnosis::Case::saturated,
                    kind == NetworkHealth::Diagnosis::Case::healthy);
        for (std::size_t i = 0; i < clients.size(); ++i) {
            perGuest[i].ceiling = room.tier;
            const bool inTrouble = verdict.struggling.contains(clients[i].id);
            perGuest[i].update(now, inTrouble,
                               !inTrouble && kind == NetworkHealth::Diagnosis::Case::healthy);
        }
        benchmark::DoNotOptimize(verdict);
        ++refreshes;
    }
    state.SetItemsProcessed(refreshes);
    state.counters["allocs_per_refresh"] =
        static_cast<double>(allocations.load() - allocationsBefore) /
        static_cast<double>(refreshes);
}
BENCHMARK(BM_StatusRefresh)->Arg(1)->Arg(8)->Arg(32);

}  // namespace
}  // namespace zoranth
