// Synthesised test audio for the beat tracker: click tracks, white noise, and a
// feeder that hands mono PCM to a tracker in blocks stamped like captured audio.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <numbers>
#include <span>
#include <vector>

#include "kit/beat_tracker.h"

namespace zoranth {

// Static helpers only, gathered under one name so they cannot collide with other
// test helpers linked into the same executable.
struct BeatClickTrack {
    static std::vector<float> silence(double rate, double seconds) {
        return std::vector<float>(static_cast<std::size_t>(std::llround(rate * seconds)), 0.0f);
    }

    // Adds a short decaying click (a 1.2 kHz ping over an 80 Hz thump) at start,
    // start + 60/bpm, … before `end` seconds; when accentEvery > 0, clicks 0, accentEvery,
    // 2·accentEvery, … are `accentGain` times louder. Returns the click times in seconds.
    static std::vector<double> addClicks(std::vector<float>& pcm, double rate, double start,
                                         double end, double bpm, int accentEvery = 0,
                                         double accentGain = 3.0) {
        std::vector<double> times;
        const double interval = 60.0 / bpm;
        const auto length = static_cast<std::size_t>(0.04 * rate);
        for (int k = 0;; ++k) {
            const double at = start + k * interval;
            if (at >= end)
                break;
            times.push_back(at);
            const double gain = (accentEvery > 0 && k % accentEvery == 0) ? accentGain : 1.0;
            const auto first = static_cast<std::size_t>(std::llround(at * rate));
            for (std::size_t n = 0; n < length && first + n < pcm.size(); ++n) {
                const double t = static_cast<double>(n) / rate;
                const double ping = std::sin(2 * std::numbers::pi * 1200 * t);
                const double thump = std::sin(2 * std::numbers::pi * 80 * t);
                pcm[first + n] +=
                    static_cast<float>(0.2 * gain * std::exp(-t / 0.008) * (ping + thump));
            }
        }
        return times;
    }

    // White noise from a fixed generator, so every machine hears the same hiss.
    static void addNoise(std::vector<float>& pcm, float amplitude, std::uint32_t seed = 12345) {
        std::uint32_t state = seed;
        for (float& sample : pcm) {
            state = state * 1664525u + 1013904223u;
            sample += amplitude * (static_cast<float>(state >> 8) / 8388608.0f - 1.0f);
        }
    }
};

// Feeds mono PCM in fixed-size blocks, each stamped with `baseNanos` plus the time of
// its first frame in the signal's own seconds, as captured audio would be.
struct BeatFeeder {
    BeatTracker& tracker;
    double rate;
    std::uint64_t baseNanos = 0;
    std::size_t fed = 0;

    double secondsOf(const BeatTracker::Beat& beat) const {
        return static_cast<double>(beat.hostTimeNanos - baseNanos) / 1e9;
    }

    std::uint64_t nanosAt(std::size_t frame) const {
        return baseNanos + static_cast<std::uint64_t>(static_cast<double>(frame) / rate * 1e9);
    }

    std::vector<BeatTracker::Beat> feed(std::span<const float> mono, std::size_t block = 960) {
        std::vector<BeatTracker::Beat> beats;
        for (std::size_t at = 0; at < mono.size(); at += block) {
            const std::size_t frames = std::min(block, mono.size() - at);
            const auto found = tracker.process(mono.subspan(at, frames), 1, frames, nanosAt(fed));
            fed += frames;
            beats.insert(beats.end(), found.begin(), found.end());
        }
        return beats;
    }
};

}  // namespace zoranth
