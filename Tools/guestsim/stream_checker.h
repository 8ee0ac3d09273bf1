// Checks the audio a guest receives: sequence numbers run on without gaps or
// reordering, and each chunk's host time is 20 ms after the previous one's.
// A plain value; one thread at a time.
#pragma once

#include <cstdint>
#include <optional>

#include "protocol/wire_format.h"

namespace zoranth {

class StreamChecker {
  public:
    static constexpr std::uint64_t chunkNanos = 20'000'000;  // 960 frames at 48 kHz
    // Resampling and clock conversion may round a chunk's time by a little; a real
    // step error is a whole chunk or a capture discontinuity, far beyond this.
    static constexpr std::uint64_t defaultToleranceNanos = 100'000;

    struct Counts {
        std::int64_t chunks = 0;
        std::int64_t gaps = 0;            // places where chunks were missing
        std::int64_t missing = 0;         // chunks missing in those places
        std::int64_t outOfOrder = 0;      // chunks not after the latest one (repeats included)
        std::int64_t timeStepErrors = 0;  // host times not 20 ms per sequence step apart
        std::int64_t formatChanges = 0;   // hellos after the first on a connection
        std::optional<std::uint32_t> firstSeq;
        std::optional<std::uint32_t> lastSeq;
    };

    explicit StreamChecker(std::uint64_t toleranceNanos = defaultToleranceNanos);

    // A new connection: its first chunk starts a new run and is not compared with
    // what the last connection received.
    void connected();
    void hello();
    void chunk(const AudioChunkHeader& header);

    const Counts& counts() const { return counts_; }

  private:
    struct Last {
        std::uint32_t seq = 0;
        std::uint64_t hostTimeNanos = 0;
    };

    std::uint64_t toleranceNanos_;
    Counts counts_;
    std::optional<Last> last_;
    int hellosThisConnection_ = 0;
};

}  // namespace zoranth
