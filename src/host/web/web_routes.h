// What the host answers to one HTTP request from a browser: the guest page and its
// files (with entity tags, so a returning phone revalidates instead of downloading
// again), the WebSocket entry for guests at /ws, and short refusals for everything
// else. Pure: no I/O, no state; any thread.
#pragma once

#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/span_body.hpp>

#include <cstddef>
#include <string>
#include <string_view>

namespace zoranth {

struct WebRoutes {
    using Request = boost::beast::http::request<boost::beast::http::empty_body>;
    // Bodies are views of the embedded files or of static texts: nothing is copied.
    using Response = boost::beast::http::response<boost::beast::http::span_body<const char>>;

    struct Answer {
        enum class Kind {
            served,   // a page file, a "not modified" or a "not found": the connection lives on
            upgrade,  // a WebSocket guest: accept the handshake instead of responding
            refused,  // a request this host never serves: respond, then close
        };
        Kind kind = Kind::served;
        Response response;
        std::string_view reason;  // for the log line of a refusal
    };

    static constexpr std::string_view guestPath = "/ws";
    // The rave's name for the page to show, as {"name": "..."}.
    static constexpr std::string_view ravePath = "/rave.json";
    // Every page path is short; a longer target is someone probing.
    static constexpr std::size_t maxTargetBytes = 1024;
    static constexpr std::string_view serverName = "zoranth-host";

    // `raveJson` (from raveJson()) answers ravePath; the caller keeps it alive while
    // the response is written.
    static Answer answer(const Request& request, std::string_view raveJson);

    // {"name":"..."} with the name escaped for JSON.
    static std::string raveJson(std::string_view name);
};

}  // namespace zoranth
