// What the tests of the broadcast server share: a deadline no test reaches, the sequence
// number of an audio message, and a fixture that keeps guests coming and going out of the
// user's host log.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>

#include "host/host_log.h"
#include "protocol/mach_clock.h"
#include "protocol/wire_format.h"

namespace zoranth {

// Ten minutes ahead on the host clock: audio that never expires in a test.
inline std::uint64_t farDeadline() {
    return MachClock::nowNanos() + 600'000'000'000ULL;
}

inline std::optional<std::uint32_t> audioSeq(const std::optional<Message>& message) {
    if (message) {
        if (const auto* audio = message->as<Message::Audio>()) {
            return audio->header.seq;
        }
    }
    return std::nullopt;
}

// A suite whose lines (guests joining and leaving, probes' verdicts) stay out of the
// user's host log file.
class QuietHostLog : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        wroteFile_ = HostLog::writesFile();
        HostLog::setWritesFile(false);
    }
    static void TearDownTestSuite() { HostLog::setWritesFile(wroteFile_); }
    static inline bool wroteFile_ = true;
};

}  // namespace zoranth
