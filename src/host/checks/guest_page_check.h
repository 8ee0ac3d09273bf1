// Whether a phone's browser can open the guest page: a trial server like the rave's
// (on loopback, a free port, not advertised) is asked for "/" the way a browser asks,
// and its answer is judged. run() and fetch() block for up to their patience: call
// them from a background thread, never from the window's thread; finding() is pure.
#pragma once

#include <boost/asio/ip/address.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "host/checks/system_checkup.h"

namespace zoranth {

struct GuestPageCheck {
    struct Outcome {
        enum class Case {
            answered,    // an HTTP answer came back: status, type and body below
            noListener,  // the trial server could not listen
            noAnswer,    // no connection, no answer in time, or an answer that is no HTTP
        };
        Case kind = Case::noAnswer;
        std::string link;  // what was asked: "http://127.0.0.1:40123/"
        unsigned status = 0;
        std::string statusText;  // "Not Found"
        std::string contentType;
        std::string body;
        std::string text;  // what went wrong, in the failing component's own words
        friend bool operator==(const Outcome&, const Outcome&) = default;
    };

    static constexpr std::chrono::milliseconds patience{3000};
    // The page is a few kilobytes; an answer larger than this is not it.
    static constexpr std::size_t maxBodyBytes = 1 << 20;
    // What the page must hold for a guest to join: its listen button.
    static constexpr std::string_view listenButton = "id=\"listen\"";

    // "GET /" from the address and port, as a browser asks, within `patience`.
    static Outcome fetch(const boost::asio::ip::address& address, std::uint16_t port,
                         std::chrono::milliseconds patience = GuestPageCheck::patience);

    // A trial server on 127.0.0.1 and a free port, asked for the page, then stopped.
    static Outcome run(std::chrono::milliseconds patience = GuestPageCheck::patience);

    static SystemCheckup::Finding finding(const Outcome& outcome);
};

}  // namespace zoranth
