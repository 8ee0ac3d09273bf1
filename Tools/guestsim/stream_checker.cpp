#include "guestsim/stream_checker.h"

namespace zoranth {

StreamChecker::StreamChecker(std::uint64_t toleranceNanos) : toleranceNanos_(toleranceNanos) {}

void StreamChecker::connected() {
    last_.reset();
    hellosThisConnection_ = 0;
}

void StreamChecker::hello() {
    if (++hellosThisConnection_ > 1) {
        // The host discards audio queued in the old format, so the next chunk may
        // legitimately skip ahead.
        ++counts_.formatChanges;
        last_.reset();
    }
}

void StreamChecker::chunk(const AudioChunkHeader& header) {
    ++counts_.chunks;
    if (!counts_.firstSeq) {
        counts_.firstSeq = header.seq;
    }
    counts_.lastSeq = header.seq;
    if (!last_) {
        last_ = Last{header.seq, header.hostTimeNanos};
        return;
    }
    // Modular distance, so the run survives the sequence number wrapping around.
    const std::uint32_t step = header.seq - last_->seq;
    if (step == 0 || step > 0x8000'0000u) {
        ++counts_.outOfOrder;
        return;
    }
    if (step > 1) {
        ++counts_.gaps;
        counts_.missing += step - 1;
    }
    const std::uint64_t expected = last_->hostTimeNanos + step * chunkNanos;
    const std::uint64_t error = header.hostTimeNanos > expected ? header.hostTimeNanos - expected
                                                                : expected - header.hostTimeNanos;
    if (error > toleranceNanos_) {
        ++counts_.timeStepErrors;
    }
    last_ = Last{header.seq, header.hostTimeNanos};
}

}  // namespace zoranth
