// A guest that listens on a thread of its own while the test does other things: reads
// every frame the host sends over a TestGuest connection, decodes each chunk's audio and
// keeps, per chunk, what a person would hear of a tone in it. Header-only; the test
// thread reads chunks() at any time.
#pragma once

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "kit/opus_decoder.h"
#include "pulse_test_server.h"
#include "test_guest.h"

namespace zoranth {

class ListeningGuest {
  public:
    struct Chunk {
        std::uint32_t seq = 0;
        std::uint64_t hostTimeNanos = 0;
        std::chrono::steady_clock::time_point arrived;
        // Of the tone's frequency in the left channel, and the level, over the 100 ms that
        // end with this chunk.
        double toneShare = 0;
        double rms = 0;
    };

    ListeningGuest(TestGuest guest, double toneFrequency)
        : guest_(std::move(guest)), frequency_(toneFrequency) {
        reader_ = std::thread([this] { listen(); });
    }

    ~ListeningGuest() {
        stopping_ = true;
        reader_.join();
    }

    ListeningGuest(const ListeningGuest&) = delete;
    ListeningGuest& operator=(const ListeningGuest&) = delete;

    std::vector<Chunk> chunks() const {
        std::lock_guard guard(lock_);
        return chunks_;
    }
    bool closed() const { return closed_; }

    // The first chunk at or after `from` that holds the tone clearly.
    std::optional<Chunk> firstToneFrom(std::chrono::steady_clock::time_point from) const {
        for (const Chunk& chunk : chunks()) {
            if (chunk.arrived >= from && chunk.toneShare > 0.9 && chunk.rms > 0.05) {
                return chunk;
            }
        }
        return std::nullopt;
    }

  private:
    void listen() {
        std::shared_ptr<OpusDecoder> decoder;
        int channels = 0;
        std::vector<float> recent;  // the last 100 ms heard, interleaved
        while (!stopping_) {
            TestGuest::Read read = guest_.next(std::chrono::milliseconds(100));
            if (read.kind == TestGuest::Read::Case::timedOut) {
                continue;
            }
            if (read.kind != TestGuest::Read::Case::message) {
                closed_ = true;
                return;
            }
            const Message& message = *read.message;
            if (const Hello* hello = message.as<Hello>()) {
                channels = hello->channels;
                decoder = *OpusDecoder::create(channels);
            } else if (const auto* audio = message.as<Message::Audio>(); audio && decoder) {
                Chunk chunk{audio->header.seq, audio->header.hostTimeNanos,
                            std::chrono::steady_clock::now()};
                if (const auto pcm = decoder->decode(audio->packet)) {
                    recent.insert(recent.end(), pcm->begin(), pcm->end());
                    const std::size_t window = 4800 * static_cast<std::size_t>(channels);
                    if (recent.size() > window) {
                        recent.erase(recent.begin(), recent.begin() + static_cast<std::ptrdiff_t>(
                                                                          recent.size() - window));
                    }
                    if (recent.size() == window) {
                        chunk.toneShare = toneShare(recent, static_cast<unsigned>(channels), 0,
                                                    48000, frequency_);
                        chunk.rms = rootMeanSquare(recent);
                    }
                }
                std::lock_guard guard(lock_);
                chunks_.push_back(chunk);
            }
        }
    }

    TestGuest guest_;
    const double frequency_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> closed_{false};
    mutable std::mutex lock_;  // chunks_
    std::vector<Chunk> chunks_;
    std::thread reader_;
};

}  // namespace zoranth
