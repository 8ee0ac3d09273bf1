// What the host answers to each kind of browser request.
#include "host/web/web_routes.h"

#include <gtest/gtest.h>
#include <boost/beast/http/field.hpp>
#include <boost/beast/http/verb.hpp>

#include <string>

#include "host/web/web_assets.h"

namespace {

namespace http = boost::beast::http;
using zoranth::WebAssets;
using zoranth::WebRoutes;
using Kind = WebRoutes::Answer::Kind;

WebRoutes::Request request(http::verb method, std::string target) {
    WebRoutes::Request request{method, target, 11};
    request.set(http::field::host, "127.0.0.1:5000");
    return request;
}

std::string body(const WebRoutes::Response& response) {
    return {response.body().data(), response.body().size()};
}

TEST(WebRoutes, ThePageIsServedWithItsTypeTagAndRevalidation) {
    const auto answer = WebRoutes::answer(request(http::verb::get, "/"), "{}");
    const auto* index = WebAssets::find("/index.html");
    ASSERT_NE(index, nullptr);
    EXPECT_EQ(answer.kind, Kind::served);
    EXPECT_EQ(answer.response.result(), http::status::ok);
    EXPECT_EQ(body(answer.response), index->body);
    EXPECT_EQ(answer.response[http::field::content_type], "text/html; charset=utf-8");
    EXPECT_EQ(answer.response[http::field::etag], index->etag);
    EXPECT_EQ(answer.response[http::field::cache_control], "no-cache");
    EXPECT_EQ(answer.response[http::field::content_length], std::to_string(index->body.size()));
    EXPECT_NE(answer.response["Content-Security-Policy"], "");
    EXPECT_TRUE(answer.response.keep_alive());
}

TEST(WebRoutes, AKnownTagIsNotModified) {
    const auto* index = WebAssets::find("/index.html");
    ASSERT_NE(index, nullptr);
    auto conditional = request(http::verb::get, "/index.html");
    conditional.set(http::field::if_none_match, index->etag);
    const auto answer = WebRoutes::answer(conditional, "{}");
    EXPECT_EQ(answer.response.result(), http::status::not_modified);
    EXPECT_EQ(body(answer.response), "");
    EXPECT_EQ(answer.response[http::field::etag], index->etag);

    conditional.set(http::field::if_none_match, "\"stale\"");
    EXPECT_EQ(WebRoutes::answer(conditional, "{}").response.result(), http::status::ok);
}

TEST(WebRoutes, HeadAnswersTheHeadersWithoutTheBody) {
    const auto answer = WebRoutes::answer(request(http::verb::head, "/"), "{}");
    EXPECT_EQ(answer.response.result(), http::status::ok);
    EXPECT_EQ(body(answer.response), "");
    EXPECT_EQ(answer.response[http::field::content_length],
              std::to_string(WebAssets::find("/")->body.size()));
}

TEST(WebRoutes, TheGuestPathUpgradesOnlyAWebSocketRequest) {
    auto upgrade = request(http::verb::get, "/ws");
    upgrade.set(http::field::connection, "Upgrade");
    upgrade.set(http::field::upgrade, "websocket");
    upgrade.set(http::field::sec_websocket_key, "dGhlIHNhbXBsZSBub25jZQ==");
    upgrade.set(http::field::sec_websocket_version, "13");
    EXPECT_EQ(WebRoutes::answer(upgrade, "{}").kind, Kind::upgrade);

    const auto plain = WebRoutes::answer(request(http::verb::get, "/ws"), "{}");
    EXPECT_EQ(plain.kind, Kind::refused);
    EXPECT_EQ(plain.response.result(), http::status::upgrade_required);
}

TEST(WebRoutes, ThePageAsksForTheRavesName) {
    const std::string json = WebRoutes::raveJson("Kai's \"Loft\" \\ \n Nacht");
    EXPECT_EQ(json, R"({"name":"Kai's \"Loft\" \\ \u000a Nacht"})");
    const auto answer = WebRoutes::answer(request(http::verb::get, "/rave.json"), json);
    EXPECT_EQ(answer.response.result(), http::status::ok);
    EXPECT_EQ(body(answer.response), json);
    EXPECT_EQ(answer.response[http::field::content_type], "application/json; charset=utf-8");
    EXPECT_EQ(answer.response[http::field::cache_control], "no-store");
}

TEST(WebRoutes, EverythingElseIsNotFoundOrRefused) {
    struct Case {
        http::verb method;
        std::string target;
        Kind kind;
        http::status status;
    };
    const Case cases[] = {
        {http::verb::get, "/missing.js", Kind::served, http::status::not_found},
        {http::verb::get, "/../CMakeLists.txt", Kind::served, http::status::not_found},
        {http::verb::post, "/", Kind::refused, http::status::method_not_allowed},
        {http::verb::put, "/index.html", Kind::refused, http::status::method_not_allowed},
        {http::verb::get, "/" + std::string(WebRoutes::maxTargetBytes, 'a'), Kind::refused,
         http::status::uri_too_long},
    };
    for (const Case& each : cases) {
        const auto answer = WebRoutes::answer(request(each.method, each.target), "{}");
        EXPECT_EQ(answer.kind, each.kind) << each.target.substr(0, 40);
        EXPECT_EQ(answer.response.result(), each.status) << each.target.substr(0, 40);
        if (each.kind == Kind::refused) {
            EXPECT_FALSE(answer.response.keep_alive());
            EXPECT_FALSE(answer.reason.empty());
        }
    }
}

}  // namespace
