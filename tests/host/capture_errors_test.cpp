#include <pulse/def.h>

#include <gtest/gtest.h>

#include <string>

#include "host/capture/host_error.h"
#include "host/capture/sound_server_error.h"

namespace {

using zoranth::HostError;
using zoranth::SoundServerError;

struct DescriptionCase {
    std::int32_t status;
    const char* operation;
    std::string text;
};

class SoundServerErrorText : public testing::TestWithParam<DescriptionCase> {};

TEST_P(SoundServerErrorText, DescribesTheCallItsNumberAndItsHint) {
    const DescriptionCase& c = GetParam();
    EXPECT_EQ((SoundServerError{c.status, c.operation}.description()), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, SoundServerErrorText,
    testing::Values(
        DescriptionCase{PA_ERR_INVALID, "pa_stream_peek", "pa_stream_peek failed: 3"},
        DescriptionCase{0, "pa_context_connect", "pa_context_connect failed: 0"},
        // The sound server's own numbers.
        DescriptionCase{PA_ERR_CONNECTIONREFUSED, "pa_context_connect",
                        "pa_context_connect failed: 6 \u2014 connection refused; no sound "
                        "server is running for this user (start PulseAudio or PipeWire's "
                        "pulse service)"},
        DescriptionCase{PA_ERR_ACCESS, "pa_stream_connect_record",
                        "pa_stream_connect_record failed: 1 \u2014 access denied; the sound "
                        "server refused to let this user record the system audio"}));

TEST(SoundServerErrorHints, TheNumbersAreTheServerLibrarysCodes) {
    struct Row {
        std::int32_t ours;
        int library;
        const char* hintStart;
    };
    const Row rows[] = {
        {SoundServerError::accessDenied, PA_ERR_ACCESS, "access denied; "},
        {SoundServerError::noEntity, PA_ERR_NOENTITY, "no such entity; "},
        {SoundServerError::connectionRefused, PA_ERR_CONNECTIONREFUSED, "connection refused; "},
        {SoundServerError::timeout, PA_ERR_TIMEOUT, "timed out waiting for the sound "},
        {SoundServerError::connectionTerminated, PA_ERR_CONNECTIONTERMINATED,
         "connection terminated; "},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(row.ours, row.library) << row.hintStart;
        const auto hint = SoundServerError::hint(row.library);
        ASSERT_TRUE(hint.has_value()) << row.hintStart;
        EXPECT_TRUE(hint->starts_with(row.hintStart)) << *hint;
    }
    EXPECT_FALSE(SoundServerError::hint(PA_ERR_INVALID).has_value());
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
                    HostErrorCase{
                        HostError::Case::tapFormatUnavailable,
                        "the sound server reported no usable stream format for the capture"},
                    HostErrorCase{HostError::Case::alreadyRunning, "capture is already running"}));

}  // namespace
