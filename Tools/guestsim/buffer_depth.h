// What a guest's buffer holds: how far ahead of its playout time the newest chunk it
// has received is (the chunk's host time plus the playout delay, less the host clock
// now as the guest estimates it). This is the buffer depth a guest reports to the
// host, which reads a shallow buffer as a guest about to run dry. A plain value; one
// thread at a time.
#pragma once

#include <cstdint>
#include <optional>

#include "protocol/wire_format.h"

namespace zoranth {

class BufferDepth {
  public:
    // A new connection: nothing is held yet.
    void clear() { newestDueNanos_.reset(); }
    // A chunk arrived; its first frame plays at its host time plus its playout delay.
    void chunk(const AudioChunkHeader& header);
    // Milliseconds between the host clock's `hostNowNanos` and the newest chunk's
    // playout time, within the report's 0…65535; a chunk already due leaves nothing
    // ahead (0). Nothing until a chunk has arrived.
    std::optional<std::uint16_t> millisAt(std::uint64_t hostNowNanos) const;

  private:
    std::optional<std::uint64_t> newestDueNanos_;
};

}  // namespace zoranth
