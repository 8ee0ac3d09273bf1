// The embedded guest page: every file of web/ is in the binary byte for byte with its
// content type, and only exact paths find anything.
#include "host/web/web_assets.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace {

using zoranth::WebAssets;

std::string fileBytes(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

TEST(WebAssets, EveryPageFileIsEmbeddedByteForByte) {
    const std::filesystem::path web = std::filesystem::path(ZORANTH_SOURCE_DIR) / "web";
    std::size_t files = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(web)) {
        if (!entry.is_regular_file()) {
            continue;
        }
        ++files;
        const std::string path = "/" + entry.path().lexically_relative(web).generic_string();
        const auto* asset = WebAssets::find(path);
        ASSERT_NE(asset, nullptr) << path;
        EXPECT_EQ(asset->body, fileBytes(entry.path())) << path;
        EXPECT_EQ(asset->etag.front(), '"');
        EXPECT_EQ(asset->etag.back(), '"');
    }
    EXPECT_EQ(WebAssets::all().size(), files);
}

TEST(WebAssets, ContentTypesFollowTheExtension) {
    for (const auto& asset : WebAssets::all()) {
        const std::string_view path = asset.path;
        if (path.ends_with(".html")) {
            EXPECT_EQ(asset.contentType, "text/html; charset=utf-8");
        } else if (path.ends_with(".js")) {
            EXPECT_EQ(asset.contentType, "text/javascript; charset=utf-8") << path;
        } else if (path.ends_with(".css")) {
            EXPECT_EQ(asset.contentType, "text/css; charset=utf-8");
        } else if (path.ends_with(".svg")) {
            EXPECT_EQ(asset.contentType, "image/svg+xml");
        }
    }
}

TEST(WebAssets, TheRootIsThePageAndQueriesAreIgnored) {
    const auto* index = WebAssets::find("/index.html");
    ASSERT_NE(index, nullptr);
    EXPECT_EQ(WebAssets::find("/"), index);
    EXPECT_EQ(WebAssets::find("/?name=Kitchen"), index);
    EXPECT_EQ(WebAssets::find("/index.html#top"), index);
}

TEST(WebAssets, OnlyExactPathsAreFound) {
    for (const char* target : {"", "index.html", "/index.html/", "//index.html", "/INDEX.HTML",
                               "/./index.html", "/../index.html", "/%69ndex.html",
                               "/../../CMakeLists.txt", "/vendor", "/vendor/", "/etc/passwd"}) {
        EXPECT_EQ(WebAssets::find(target), nullptr) << target;
    }
    EXPECT_EQ(WebAssets::find(std::string_view("/index.html\0", 12)), nullptr);
}

}  // namespace
