// printf-style formatting into a std::string of exactly the length the text needs, for
// the host's report and log lines. Pure; callable from any thread (not from the capture
// callback: it allocates).
#pragma once

#include <cstdio>
#include <string>

namespace zoranth {

template <typename... Values>
std::string formatText(const char* pattern, Values... values) {
    const int length = std::snprintf(nullptr, 0, pattern, values...);
    std::string text(static_cast<std::size_t>(length > 0 ? length : 0), '\0');
    std::snprintf(text.data(), text.size() + 1, pattern, values...);
    return text;
}

}  // namespace zoranth
