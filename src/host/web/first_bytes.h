// Which kind of client a new connection on the guests' one port is, judged by its
// first bytes: a browser starts with an HTTP request line at once, while a native
// guest waits for the hello and may say nothing at all first. Pure; any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>

namespace zoranth {

struct FirstBytes {
    enum class Verdict {
        nativeGuest,  // the wire's magic, or anything that is no HTTP request
        webClient,    // an HTTP method and a space: the page, or a WebSocket guest
        needMore,     // so far a prefix of both kinds, or of a method
    };

    static Verdict judge(std::span<const std::uint8_t> bytes);

    // How long a connection may stay silent before it is taken for a native guest
    // (which is then sent its hello, as always). Browsers send within milliseconds.
    static constexpr std::chrono::milliseconds wait{250};
    // Bytes enough to decide: the longest method ("OPTIONS") and its space.
    static constexpr std::size_t decisive = 8;
};

}  // namespace zoranth
