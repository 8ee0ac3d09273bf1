// Hex fixtures for the protocol tests: "5a52 5448" <-> bytes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace zoranth::test {

// Spaces are ignored so fixtures can be grouped by field.
inline std::vector<std::uint8_t> bytesFromHex(std::string_view hex) {
    std::vector<std::uint8_t> bytes;
    std::string digits;
    for (char c : hex) {
        if (c != ' ')
            digits += c;
    }
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

inline std::string hexFromBytes(const std::vector<std::uint8_t>& bytes) {
    std::string hex;
    char pair[3];
    for (auto b : bytes) {
        std::snprintf(pair, sizeof pair, "%02x", b);
        hex += pair;
    }
    return hex;
}

}  // namespace zoranth::test
