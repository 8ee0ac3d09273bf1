#include "host/web/web_routes.h"

#include <boost/beast/http/field.hpp>
#include <boost/beast/http/status.hpp>
#include <boost/beast/websocket/rfc6455.hpp>

#include "host/web/web_assets.h"

namespace zoranth {
namespace {

namespace http = boost::beast::http;

// The page loads only its own files and talks only to its own host; the WebAssembly
// decoder compiles its module from bytes, which needs 'wasm-unsafe-eval'.
constexpr std::string_view contentSecurityPolicy =
    "default-src 'self'; script-src 'self' 'wasm-unsafe-eval'; connect-src 'self'; "
    "img-src 'self' data:; style-src 'self'; base-uri 'none'; form-action 'none'; "
    "frame-ancestors 'none'";

WebRoutes::Response respond(const WebRoutes::Request& request, http::status status,
                            std::string_view contentType, std::string_view body) {
    WebRoutes::Response response{status, request.version()};
    response.set(http::field::server, WebRoutes::serverName);
    response.set("X-Content-Type-Options", "nosniff");
    response.set("Referrer-Policy", "no-referrer");
    if (!contentType.empty()) {
        response.set(http::field::content_type, contentType);
    }
    response.body() = {body.data(), body.size()};
    response.prepare_payload();
    if (request.method() == http::verb::head) {
        // Same headers, Content-Length included, but no body on the wire.
        response.body() = {};
    }
    response.keep_alive(request.keep_alive());
    return response;
}

WebRoutes::Answer refuse(const WebRoutes::Request& request, http::status status,
                         std::string_view reason) {
    WebRoutes::Answer answer{
        WebRoutes::Answer::Kind::refused,
        respond(request, status, "text/plain; charset=utf-8", http::obsolete_reason(status)),
        reason};
    answer.response.keep_alive(false);
    return answer;
}

}  // namespace

std::string WebRoutes::raveJson(std::string_view name) {
    std::string json = "{\"name\":\"";
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            json += '\\';
            json += c;
        } else if (byte < 0x20) {
            static constexpr char hex[] = "0123456789abcdef";
            json += "\\u00";
            json += hex[byte >> 4];
            json += hex[byte & 0xF];
        } else {
            json += c;  // UTF-8 passes through as it is
        }
    }
    return json + "\"}";
}

WebRoutes::Answer WebRoutes::answer(const Request& request, std::string_view raveJson) {
    const std::string_view target = request.target();
    if (target.size() > maxTargetBytes) {
        return refuse(request, http::status::uri_too_long, "request target too long");
    }
    const std::string_view path = target.substr(0, target.find_first_of("?#"));
    if (path == guestPath) {
        if (request.method() == http::verb::get && boost::beast::websocket::is_upgrade(request)) {
            return {Answer::Kind::upgrade, Response{}, {}};
        }
        Answer answer = refuse(request, http::status::upgrade_required, "not a websocket request");
        answer.response.set(http::field::upgrade, "websocket");
        return answer;
    }
    if (request.method() != http::verb::get && request.method() != http::verb::head) {
        Answer answer = refuse(request, http::status::method_not_allowed, "method not allowed");
        answer.response.set(http::field::allow, "GET, HEAD");
        return answer;
    }
    if (path == ravePath) {
        Response response =
            respond(request, http::status::ok, "application/json; charset=utf-8", raveJson);
        response.set(http::field::cache_control, "no-store");
        return {Answer::Kind::served, std::move(response), {}};
    }
    const WebAsset* asset = WebAssets::find(target);
    if (asset == nullptr) {
        return {Answer::Kind::served,
                respond(request, http::status::not_found, "text/plain; charset=utf-8", "Not Found"),
                {}};
    }
    const bool unchanged = request[http::field::if_none_match] == asset->etag;
    Response response = unchanged
                            ? respond(request, http::status::not_modified, {}, {})
                            : respond(request, http::status::ok, asset->contentType, asset->body);
    response.set(http::field::etag, asset->etag);
    // Always revalidated: a phone that comes back to a newer host gets the newer page,
    // and an unchanged one costs a "not modified".
    response.set(http::field::cache_control, "no-cache");
    if (asset->contentType.starts_with("text/html")) {
        response.set("Content-Security-Policy", contentSecurityPolicy);
    }
    return {Answer::Kind::served, std::move(response), {}};
}

}  // namespace zoranth
