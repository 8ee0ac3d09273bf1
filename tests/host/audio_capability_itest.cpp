// The capture probe against the test sound server: granted where the monitor opens;
// a refusing server or no server at all is a sandbox's permission only inside a Snap
// or Flatpak, and elsewhere says what is true.
#include "host/capture/audio_capability.h"

#include <gtest/gtest.h>

#include "host/capture/sound_server_error.h"
#include "support/pulse_test_server.h"

namespace zoranth {
namespace {

using Verdict = AudioCapability::Verdict;

TEST(AudioCapabilityProbe, IsGrantedWhereTheMonitorOpens) {
    ZORANTH_SKIP_WITHOUT_PULSE();
    EXPECT_EQ(AudioCapability::probe(), Verdict::granted());
    // The probe leaves no stream behind.
    for (const auto& output : pulseSourceOutputs()) {
        EXPECT_NE(output.mediaName, "Zoranth Capture Probe");
    }
}

TEST(AudioCapabilityProbe, ARefusingServerIsNoPermissionOutsideASandbox) {
    ZORANTH_SKIP_WITHOUT_PULSE();
    PulseDeniedServer denied;
    ASSERT_TRUE(denied.ready());
    const Verdict verdict = AudioCapability::probe();
    EXPECT_EQ(verdict.which, Verdict::Case::undetermined) << verdict.text();
    EXPECT_NE(verdict.reason.find("access denied"), std::string::npos) << verdict.reason;
}

TEST(AudioCapabilityProbe, InsideASnapARefusalIsItsAudioRecordPermission) {
    ZORANTH_SKIP_WITHOUT_PULSE();
    PulseDeniedServer denied;
    ASSERT_TRUE(denied.ready());
    ScopedEnvironment snap("SNAP", "/snap/zoranth-host/12");
    ScopedEnvironment name("SNAP_NAME", "zoranth-host");
    EXPECT_EQ(AudioCapability::probe(),
              Verdict::denied("Access denied", {Sandbox::Kind::snap, "zoranth-host"}));
}

TEST(AudioCapabilityProbe, WithoutAServerItIsUnreachableOrTheFlatpaksSocket) {
    ScopedEnvironment server("PULSE_SERVER", "unix:/nonexistent/zoranth/native");
    const std::string reason =
        SoundServerError{SoundServerError::connectionRefused, "pa_context_connect"}
            .description();
    EXPECT_EQ(AudioCapability::probe(), Verdict::unreachable(reason));
    EXPECT_EQ(AudioCapability::probe().text(), "unreachable(\"" + reason + "\")");

    ScopedEnvironment flatpak("FLATPAK_ID", "com.zoranth.host");
    EXPECT_EQ(AudioCapability::probe(),
              Verdict::denied("Connection refused", {Sandbox::Kind::flatpak, "com.zoranth.host"}));
}

}  // namespace
}  // namespace zoranth
