#include "platform/avahi/service_registration.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using zoranth::ServiceRegistration;

struct FitCase {
    const char* label;
    std::string name;
    std::string expected;
};

class FitName : public ::testing::TestWithParam<FitCase> {};

TEST_P(FitName, KeepsOneDnsLabelWithoutSplittingACharacter) {
    EXPECT_EQ(ServiceRegistration::fitName(GetParam().name), GetParam().expected);
}

const std::string a62(62, 'a');
const std::string a63(63, 'a');

INSTANTIATE_TEST_SUITE_P(
    Names, FitName,
    ::testing::Values(FitCase{"short", "Friday Rave", "Friday Rave"},
                      FitCase{"exactly63", a63, a63},
                      FitCase{"ascii64", a63 + "b", a63},
                      // "é" is two bytes: at bytes 63-64 it would be cut in half, so it goes whole.
                      FitCase{"twoByteStraddles", a62 + "\xC3\xA9", a62},
                      FitCase{"twoByteFitsExactly", std::string(61, 'a') + "\xC3\xA9" + "zz",
                              std::string(61, 'a') + "\xC3\xA9"},
                      // A four-byte emoji starting at byte 61 ends past 63.
                      FitCase{"fourByteStraddles", std::string(60, 'a') + "\xF0\x9F\x8E\xB6", std::string(60, 'a')}),
    [](const auto& info) { return std::string(info.param.label); });

}  // namespace
