#include "host/capture/audio_capability.h"

#include <gtest/gtest.h>

#include "host/capture/core_audio_error.h"
#include "support/pulse_test_server.h"

namespace zoranth {
namespace {

TEST(AudioCapabilityProbe, IsGrantedWhereTheMonitorOpens) {
    ZORANTH_SKIP_WITHOUT_PULSE();
    EXPECT_EQ(AudioCapability::probe(), AudioCapability::Verdict::granted());
    // The probe leaves no stream behind.
    for (const auto& output : pulseSourceOutputs()) {
        EXPECT_NE(output.mediaName, "Zoranth Permission Probe");
    }
}

TEST(AudioCapabilityProbe, IsDeniedWhereTheServerRefusesThisClient) {
    ZORANTH_SKIP_WITHOUT_PULSE();
    PulseDeniedServer denied;
    ASSERT_TRUE(denied.ready());
    EXPECT_EQ(AudioCapability::probe(), AudioCapability::Verdict::denied());
}

TEST(AudioCapabilityProbe, IsUndeterminedWithTheReasonWhereNoServerRuns) {
    ScopedEnvironment server("PULSE_SERVER", "unix:/nonexistent/zoranth/native");
    const auto verdict = AudioCapability::probe();
    const std::string reason =
        CoreAudioError{CoreAudioError::soundServerConnectionRefused, "pa_context_connect"}
            .description();
    EXPECT_EQ(verdict, AudioCapability::Verdict::undetermined(reason));
    EXPECT_EQ(verdict.text(), "undetermined(\"" + reason + "\")");
}

}  // namespace
}  // namespace zoranth
