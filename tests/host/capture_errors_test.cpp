#include <pulse/def.h>

#include <gtest/gtest.h>

#include <string>

#include "host/capture/core_audio_error.h"
#include "host/capture/host_error.h"

namespace {

using zoranth::CoreAudioError;
using zoranth::HostError;

const std::string kTimeoutHint =
    "timed out after ~2 minutes waiting for coreaudiod (MACH_RCV_TIMED_OUT). coreaudiod was "
    "blocked on a system-audio permission decision. Either a prompt was shown and left "
    "unanswered, or it could not be shown at all \u2014 which happens when the process has no "
    "bundle identity (run the signed .app via \"make run\", not the bare binary) or its "
    "Info.plist is missing NSAudioCaptureUsageDescription";

struct DescriptionCase {
    std::int32_t status;
    const char* operation;
    std::string text;
};

class CoreAudioErrorText : public testing::TestWithParam<DescriptionCase> {};

TEST_P(CoreAudioErrorText, DescribesTheCallItsCodeAndItsHint) {
    const DescriptionCase& c = GetParam();
    EXPECT_EQ((CoreAudioError{c.status, c.operation}.description()), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, CoreAudioErrorText,
    testing::Values(
        DescriptionCase{1852797029, "AudioDeviceStart",
                        "AudioDeviceStart failed: 1852797029 'nope' \u2014 operation not "
                        "permitted; system audio recording access is most likely denied"},
        DescriptionCase{2003332927, "AudioObjectGetPropertyData",
                        "AudioObjectGetPropertyData failed: 2003332927 'who?' \u2014 unknown "
                        "property on this object"},
        DescriptionCase{560947818, "read 'slay'",
                        "read 'slay' failed: 560947818 '!obj' \u2014 no data / bad property size"},
        DescriptionCase{-10851, "AudioDeviceStop",
                        "AudioDeviceStop failed: -10851 \u2014 bad audio object; the device or "
                        "tap was already destroyed"},
        DescriptionCase{0x10004003, "AudioHardwareCreateProcessTap",
                        "AudioHardwareCreateProcessTap failed: 268451843 \u2014 " + kTimeoutHint},
        DescriptionCase{-50, "AudioDeviceStart", "AudioDeviceStart failed: -50"},
        DescriptionCase{0, "AudioDeviceStart", "AudioDeviceStart failed: 0"},
        // Printable bytes but no hint: the code form stays, no dash.
        DescriptionCase{0x666D743F, "read format", "read format failed: 1718449215 'fmt?'"},
        // Every byte printable, including the quote itself and the ends of the range.
        DescriptionCase{0x20277E41, "op", "op failed: 539459137 ' '~A'"},
        // A byte just outside the printable range on either side.
        DescriptionCase{0x7F414141, "op", "op failed: 2134982977"},
        DescriptionCase{0x41411F41, "op", "op failed: 1094786881"},
        // The sound server's own numbers.
        DescriptionCase{PA_ERR_CONNECTIONREFUSED, "pa_context_connect",
                        "pa_context_connect failed: 6 \u2014 connection refused; no sound "
                        "server is running for this user (start PulseAudio or PipeWire's "
                        "pulse service)"},
        DescriptionCase{PA_ERR_ACCESS, "pa_stream_connect_record",
                        "pa_stream_connect_record failed: 1 \u2014 access denied; the sound "
                        "server refused to let this user record the system audio"}));

TEST(CoreAudioErrorHints, SoundServerNumbersMatchTheServerLibrarysCodes) {
    struct Row {
        std::int32_t ours;
        int library;
        const char* hintStart;
    };
    const Row rows[] = {
        {CoreAudioError::soundServerAccessDenied, PA_ERR_ACCESS, "access denied; "},
        {CoreAudioError::soundServerNoEntity, PA_ERR_NOENTITY, "no such entity; "},
        {CoreAudioError::soundServerConnectionRefused, PA_ERR_CONNECTIONREFUSED,
         "connection refused; "},
        {CoreAudioError::soundServerTimeout, PA_ERR_TIMEOUT, "timed out waiting for the sound "},
        {CoreAudioError::soundServerConnectionTerminated, PA_ERR_CONNECTIONTERMINATED,
         "connection terminated; "},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(row.ours, row.library) << row.hintStart;
        const auto hint = CoreAudioError::hint(row.library);
        ASSERT_TRUE(hint.has_value()) << row.hintStart;
        EXPECT_TRUE(hint->starts_with(row.hintStart)) << *hint;
    }
    EXPECT_FALSE(CoreAudioError::hint(PA_ERR_INVALID).has_value());
}

TEST(CoreAudioErrorHints, FourCharacterFormNeedsFourPrintableBytes) {
    EXPECT_EQ(CoreAudioError::fourCC(0x6E6F7065), "'nope'");
    EXPECT_EQ(CoreAudioError::fourCC(0x10004003), "");
    EXPECT_EQ(CoreAudioError::fourCC(-1), "");
    EXPECT_EQ(CoreAudioError::fourCC(PA_ERR_TIMEOUT), "");
}

struct HostErrorCase {
    HostError::Case which;
    const char* text;
};

class HostErrorText : public testing::TestWithParam<HostErrorCase> {};

TEST_P(HostErrorText, IsTheUserFacingSentence) {
    EXPECT_EQ(HostError{GetParam().which}.description(), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HostErrorText,
    testing::Values(HostErrorCase{HostError::Case::ringAllocationFailed,
                                  "could not allocate the capture ring buffer"},
                    HostErrorCase{HostError::Case::tapFormatUnavailable,
                                  "the tap reported no usable stream format"},
                    HostErrorCase{
                        HostError::Case::noInputStreams,
                        "The tap produced no input streams. This almost always means system audio "
                        "recording access was denied. Open System Settings > Privacy & Security "
                        "and allow Zoranth Host under Audio Recording (and Screen & System Audio "
                        "Recording, if present)."},
                    HostErrorCase{HostError::Case::alreadyRunning, "capture is already running"},
                    HostErrorCase{HostError::Case::ioProcNotCreated,
                                  "Core Audio reported success but produced no IOProc ID"}));

}  // namespace
