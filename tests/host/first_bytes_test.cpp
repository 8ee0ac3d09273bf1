// Telling a browser from a native guest by a connection's first bytes.
#include "host/web/first_bytes.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using zoranth::FirstBytes;
using Verdict = FirstBytes::Verdict;

Verdict judge(const std::string& bytes) {
    return FirstBytes::judge(
        std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

TEST(FirstBytes, RequestsAreBrowsersAndEverythingElseANativeGuest) {
    const std::pair<std::string, Verdict> cases[] = {
        {"GET / HTTP/1.1\r\n", Verdict::webClient},
        {"GET /ws HTTP/1.1", Verdict::webClient},
        {"HEAD ", Verdict::webClient},
        {"OPTIONS * HTTP/1.1", Verdict::webClient},
        {"", Verdict::needMore},
        {"G", Verdict::needMore},
        {"GE", Verdict::needMore},
        {"OPTION", Verdict::needMore},
        {"P", Verdict::needMore},  // POST, PUT or PATCH so far
        {std::string("ZRTH\x02\x03\x08\x00", 8), Verdict::nativeGuest},
        {"Z", Verdict::nativeGuest},
        {"GET/", Verdict::nativeGuest},
        {"get / HTTP/1.1", Verdict::nativeGuest},
        {std::string("\x00\x01", 2), Verdict::nativeGuest},
    };
    for (const auto& [bytes, verdict] : cases) {
        EXPECT_EQ(judge(bytes), verdict) << bytes;
    }
}

}  // namespace
