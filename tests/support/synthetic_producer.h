// A stand-in for the capture callback in pipeline tests: writes ring slots from a thread of
// its own, a sine on every channel, each slot stamped where the previous one ended. It waits
// for room instead of overrunning, so every frame arrives. Header-only: it needs the host's
// capture ring, which only the host's tests link. Driven from one test thread.
#pragma once

#include <chrono>
#include <cmath>
#include <cstdint>
#include <memory>
#include <numbers>
#include <thread>
#include <utility>
#include <vector>

#include "host/capture/capture_ring.h"

namespace zoranth {

class SyntheticProducer {
  public:
    SyntheticProducer(std::shared_ptr<CaptureRing> ring, double rate, int channels,
                      std::uint64_t startNanos, double frequency = 440.0, float amplitude = 0.5f)
        : ring_(std::move(ring)),
          rate_(rate),
          channels_(channels),
          startNanos_(startNanos),
          frequency_(frequency),
          amplitude_(amplitude) {}
    ~SyntheticProducer() { join(); }
    SyntheticProducer(const SyntheticProducer&) = delete;
    SyntheticProducer& operator=(const SyntheticProducer&) = delete;

    void write(std::vector<std::uint32_t> slotFrames) {
        join();
        thread_ = std::thread([this, slots = std::move(slotFrames)] {
            for (const std::uint32_t frames : slots) {
                writeSlot(frames);
            }
        });
    }
    void writeSlots(int count, std::uint32_t frames) {
        write(std::vector<std::uint32_t>(static_cast<std::size_t>(count), frames));
    }
    void join() {
        if (thread_.joinable()) {
            thread_.join();
        }
    }

  private:
    void writeSlot(std::uint32_t frames) {
        sr_ring* ring = ring_->pointer();
        sr_slot* slot = nullptr;
        while ((slot = sr_ring_begin_write(ring)) == nullptr) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        slot->host_time_ns =
            startNanos_ + static_cast<std::uint64_t>(std::llround(framesWritten_ / rate_ * 1e9));
        slot->frames = frames;
        slot->channels = static_cast<std::uint32_t>(channels_);
        slot->flags = 0;
        for (int c = 0; c < channels_; ++c) {
            float* plane = sr_slot_plane(ring, slot, static_cast<std::uint32_t>(c));
            for (std::uint32_t j = 0; j < frames; ++j) {
                const double t = static_cast<double>(framesWritten_ + j) / rate_;
                plane[j] = amplitude_ *
                           static_cast<float>(std::sin(2 * std::numbers::pi * frequency_ * t));
            }
        }
        sr_ring_note_call(ring);
        sr_ring_commit_write(ring);
        framesWritten_ += frames;
    }

    std::shared_ptr<CaptureRing> ring_;
    double rate_;
    int channels_;
    std::uint64_t startNanos_;
    double frequency_;
    float amplitude_;
    std::int64_t framesWritten_ = 0;
    std::thread thread_;
};

}  // namespace zoranth
