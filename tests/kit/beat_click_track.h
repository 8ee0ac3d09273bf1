// Synthesised test audio for the beat tracker: click tracks, drum patterns, steady
// tones, white and pink noise, and a feeder that hands mono PCM to a tracker in
// blocks stamped like captured audio.
#pragma once

#include <algorithm>
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

    // A kick and snare backbeat with closed hi-hats on the eighths: kicks on beats 1
    // and 3, snares on 2 and 4, from `start` to `end` seconds. Returns the beat times.
    static std::vector<double> addDrums(std::vector<float>& pcm, double rate, double start,
                                        double end, double bpm) {
        std::vector<double> beats;
        const double interval = 60.0 / bpm;
        for (int eighth = 0;; ++eighth) {
            const double at = start + eighth * interval / 2;
            if (at >= end)
                break;
            const auto first = static_cast<std::size_t>(std::llround(at * rate));
            addHat(pcm, rate, first, static_cast<std::uint32_t>(eighth));
            if (eighth % 2 != 0)
                continue;
            beats.push_back(at);
            if (eighth % 4 == 0)
                addKick(pcm, rate, first);
            else
                addSnare(pcm, rate, first, static_cast<std::uint32_t>(eighth));
        }
        return beats;
    }

    // A steady sine, optionally faded in linearly over `fadeSeconds`, with an optional
    // vibrato of `vibratoDepth` (a fraction of the frequency) at `vibratoHz`.
    static std::vector<float> tone(double rate, double seconds, double frequency, double amplitude,
                                   double fadeSeconds = 0, double vibratoDepth = 0,
                                   double vibratoHz = 0) {
        std::vector<float> pcm = silence(rate, seconds);
        double phase = 0;
        for (std::size_t n = 0; n < pcm.size(); ++n) {
            const double t = static_cast<double>(n) / rate;
            const double fade = fadeSeconds > 0 ? std::min(1.0, t / fadeSeconds) : 1.0;
            pcm[n] = static_cast<float>(amplitude * fade * std::sin(phase));
            const double wobble = 1 + vibratoDepth * std::sin(2 * std::numbers::pi * vibratoHz * t);
            phase += 2 * std::numbers::pi * frequency * wobble / rate;
        }
        return pcm;
    }

    // White noise from a fixed generator, so every machine hears the same hiss.
    static void addNoise(std::vector<float>& pcm, float amplitude, std::uint32_t seed = 12345) {
        std::uint32_t state = seed;
        for (float& sample : pcm) sample += amplitude * white(state);
    }

    // Pink noise (3 dB per octave down) from the same generator, peaking near
    // `amplitude`: white noise through a sum of one-pole filters.
    static void addPinkNoise(std::vector<float>& pcm, float amplitude, std::uint32_t seed = 777) {
        std::uint32_t state = seed;
        double b0 = 0, b1 = 0, b2 = 0, b3 = 0, b4 = 0, b5 = 0, b6 = 0;
        for (float& sample : pcm) {
            const double w = white(state);
            b0 = 0.99886 * b0 + w * 0.0555179;
            b1 = 0.99332 * b1 + w * 0.0750759;
            b2 = 0.96900 * b2 + w * 0.1538520;
            b3 = 0.86650 * b3 + w * 0.3104856;
            b4 = 0.55000 * b4 + w * 0.5329522;
            b5 = -0.7616 * b5 - w * 0.0168980;
            const double pink = b0 + b1 + b2 + b3 + b4 + b5 + b6 + w * 0.5362;
            b6 = w * 0.115926;
            sample += static_cast<float>(amplitude * pink / 5.0);
        }
    }

  private:
    static float white(std::uint32_t& state) {
        state = state * 1664525u + 1013904223u;
        return static_cast<float>(state >> 8) / 8388608.0f - 1.0f;
    }

    // Adds `length` seconds of `voice(t)` to the signal from frame `first` on.
    template <class Voice>
    static void addVoice(std::vector<float>& pcm, double rate, std::size_t first, double length,
                         Voice&& voice) {
        const auto frames = static_cast<std::size_t>(length * rate);
        for (std::size_t n = 0; n < frames && first + n < pcm.size(); ++n)
            pcm[first + n] += static_cast<float>(voice(static_cast<double>(n) / rate));
    }

    // A sine sweeping down from 150 Hz to 50 Hz under a slow decay.
    static void addKick(std::vector<float>& pcm, double rate, std::size_t first) {
        double phase = 0;
        addVoice(pcm, rate, first, 0.3, [&](double t) {
            const double value = 0.7 * std::exp(-t / 0.12) * std::sin(phase);
            phase += 2 * std::numbers::pi * (50 + 100 * std::exp(-t / 0.04)) / rate;
            return value;
        });
    }

    // A noise burst over a 180 Hz body.
    static void addSnare(std::vector<float>& pcm, double rate, std::size_t first,
                         std::uint32_t seed) {
        std::uint32_t state = 0x5EED0000u + seed;
        addVoice(pcm, rate, first, 0.2, [&](double t) {
            const double body = 0.5 * std::sin(2 * std::numbers::pi * 180 * t);
            return 0.35 * (white(state) * std::exp(-t / 0.06) + body * std::exp(-t / 0.05));
        });
    }

    // A short burst of differentiated (bright) noise.
    static void addHat(std::vector<float>& pcm, double rate, std::size_t first,
                       std::uint32_t seed) {
        std::uint32_t state = 0x4A7u + 977u * seed;
        double previous = 0;
        addVoice(pcm, rate, first, 0.06, [&](double t) {
            const double w = white(state);
            const double bright = w - previous;
            previous = w;
            return 0.12 * bright * std::exp(-t / 0.015);
        });
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
