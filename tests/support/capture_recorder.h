// The capture tests' recorder: every delivery of a capture (a PulseCapture's, or the slots a
// test drains from the capture ring) kept in storage fixed up front, as the delivery
// callback must not allocate, with the checks the tests make on the timeline and on the
// audio; and a count of the changes a PulseCapture reported. One writer thread at a time;
// the test's thread reads what has been published. Header only: it needs the platform's
// headers, which the support library does not link.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <optional>
#include <thread>
#include <vector>

#include "platform/pulse/delivery_clock.h"
#include "platform/pulse/pulse_capture.h"
#include "support/pulse_test_server.h"

namespace zoranth {

using namespace std::chrono_literals;

inline std::uint64_t monotonicNow() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000ull +
           static_cast<std::uint64_t>(now.tv_nsec);
}

// Keeps every delivery in storage fixed up front, as a real consumer of the callback must.
struct Recorder {
    // Room for `seconds` of stereo deliveries, the capture's own silence included.
    explicit Recorder(std::size_t seconds = 30)
        : entries(seconds * 200), samples(48000 * seconds * 2) {}

    struct Entry {
        std::uint64_t hostTime = 0;
        std::uint64_t arrival = 0;
        std::uint32_t frames = 0;
        std::uint32_t channels = 0;
        std::size_t firstSample = 0;
        bool silent = false;
        bool discontinuity = false;
    };
    std::vector<Entry> entries;
    std::vector<float> samples;
    std::size_t samplesUsed = 0;
    std::atomic<std::size_t> count{0};

    static void deliver(void* context, const CaptureDelivery& delivery) {
        auto* self = static_cast<Recorder*>(context);
        const std::size_t n = self->count.load(std::memory_order_relaxed);
        const std::size_t length = static_cast<std::size_t>(delivery.frames) * delivery.channels;
        if (n == self->entries.size() || self->samplesUsed + length > self->samples.size()) {
            return;
        }
        Entry& entry = self->entries[n];
        entry = {delivery.hostTimeNanos, monotonicNow(),    delivery.frames,
                 delivery.channels,      self->samplesUsed, delivery.samples == nullptr,
                 delivery.discontinuity};
        if (delivery.samples != nullptr) {
            std::copy_n(delivery.samples, length,
                        self->samples.begin() + static_cast<std::ptrdiff_t>(self->samplesUsed));
        } else {
            std::fill_n(self->samples.begin() + static_cast<std::ptrdiff_t>(self->samplesUsed),
                        length, 0.0f);
        }
        self->samplesUsed += length;
        self->count.store(n + 1, std::memory_order_release);
    }

    std::size_t size() const { return count.load(std::memory_order_acquire); }

    // Waits until the server's own audio flows (the layer's silence covers the time before),
    // returning the index of the first of `run` deliveries in a row from the server.
    std::optional<std::size_t> waitForServerAudio(std::size_t run,
                                                  std::chrono::milliseconds timeout) const {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            const std::size_t n = size();
            std::size_t streak = 0;
            for (std::size_t i = n; i > 0 && !entries[i - 1].silent; --i) {
                ++streak;
            }
            if (streak >= run) {
                return n - streak;
            }
            std::this_thread::sleep_for(10ms);
        }
        return std::nullopt;
    }

    bool waitFor(std::size_t deliveries, std::chrono::milliseconds timeout) const {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (size() < deliveries && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(10ms);
        }
        return size() >= deliveries;
    }

    // Every delivery in [from, to) not flagged as a break starts where the previous one
    // ended, give or take the clock's slewing (500 ppm of a delivery).
    void expectContinuous(std::size_t from, std::size_t to) const {
        for (std::size_t i = std::max<std::size_t>(from, 1); i < to; ++i) {
            const Entry& previous = entries[i - 1];
            const Entry& entry = entries[i];
            if (entry.discontinuity) {
                continue;
            }
            const std::int64_t expected = DeliveryClock::nanosFor(previous.frames, 48000);
            const std::int64_t slew =
                DeliveryClock::nanosFor(std::max(previous.frames, entry.frames), 48000) / 2000 + 1;
            const auto delta = static_cast<std::int64_t>(entry.hostTime - previous.hostTime);
            ASSERT_LE(std::abs(delta - expected), slew) << "delivery " << i;
        }
    }

    // Deliveries whose arrival came more than `gap` after the one before.
    std::size_t arrivalGaps(std::size_t from, std::size_t to, std::uint64_t gap) const {
        std::size_t count = 0;
        for (std::size_t i = std::max<std::size_t>(from, 1); i < to; ++i) {
            count += entries[i].arrival - entries[i - 1].arrival > gap ? 1 : 0;
        }
        return count;
    }

    std::size_t flagged(std::size_t from, std::size_t to) const {
        std::size_t count = 0;
        for (std::size_t i = from; i < to; ++i) {
            count += entries[i].discontinuity ? 1 : 0;
        }
        return count;
    }

    std::size_t silent(std::size_t from, std::size_t to) const {
        std::size_t count = 0;
        for (std::size_t i = from; i < to; ++i) {
            count += entries[i].silent ? 1 : 0;
        }
        return count;
    }

    // Every delivery in [from, to) starts where the one before ended or later, never
    // earlier (give or take the clock's slewing): the timeline never steps back.
    void expectNeverBack(std::size_t from, std::size_t to) const {
        for (std::size_t i = std::max<std::size_t>(from, 1); i < to; ++i) {
            const Entry& previous = entries[i - 1];
            const auto end = static_cast<std::int64_t>(previous.hostTime) +
                             DeliveryClock::nanosFor(previous.frames, 48000);
            const std::int64_t slew =
                DeliveryClock::nanosFor(std::max(previous.frames, entries[i].frames), 48000) /
                    2000 +
                1;
            ASSERT_GE(static_cast<std::int64_t>(entries[i].hostTime), end - slew)
                << "delivery " << i;
        }
    }

    // The first delivery from `from` on that begins 0.2 s of the server's own audio holding
    // a tone at `frequency` on both channels; none before `timeout` has passed.
    std::optional<std::size_t> waitForTone(std::size_t from, std::chrono::milliseconds timeout,
                                           double frequency = 440) const {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        std::size_t start = from;
        while (std::chrono::steady_clock::now() < deadline) {
            const std::size_t n = size();
            for (; start < n; ++start) {
                std::size_t end = start;
                std::uint64_t frames = 0;
                while (end < n && !entries[end].silent && frames < 9600) {
                    frames += entries[end].frames;
                    ++end;
                }
                if (frames < 9600) {
                    if (end < n) {
                        start = end;  // a silent delivery: no window starts before it
                        continue;
                    }
                    break;  // wait for more
                }
                const auto window = audio(start, end);
                if (toneShare(window, 2, 0, 48000, frequency) > 0.9 &&
                    toneShare(window, 2, 1, 48000, frequency) > 0.9) {
                    return start;
                }
            }
            std::this_thread::sleep_for(20ms);
        }
        return std::nullopt;
    }

    // The interleaved samples of deliveries [from, to).
    std::vector<float> audio(std::size_t from, std::size_t to) const {
        std::vector<float> out;
        for (std::size_t i = from; i < to; ++i) {
            const Entry& e = entries[i];
            out.insert(out.end(), samples.begin() + static_cast<std::ptrdiff_t>(e.firstSample),
                       samples.begin() + static_cast<std::ptrdiff_t>(
                                             e.firstSample + std::size_t{e.frames} * e.channels));
        }
        return out;
    }
};

struct Changes {
    std::atomic<int> moved{0}, defaultSink{0}, format{0}, lost{0}, connectionLost{0},
        connectionRestored{0};
    void note(PulseCapture::Change change) {
        switch (change) {
            case PulseCapture::Change::moved:
                ++moved;
                break;
            case PulseCapture::Change::defaultSinkChanged:
                ++defaultSink;
                break;
            case PulseCapture::Change::formatChanged:
                ++format;
                break;
            case PulseCapture::Change::streamLost:
                ++lost;
                break;
            case PulseCapture::Change::connectionLost:
                ++connectionLost;
                break;
            case PulseCapture::Change::connectionRestored:
                ++connectionRestored;
                break;
        }
    }
};

}  // namespace zoranth
