// The guest page's files, embedded in the binary at build time from web/. A request
// path is looked up by exact match in this table only: no path ever reaches the file
// system, so nothing outside the page can be served. Immutable; any thread.
#pragma once

#include <span>
#include <string_view>

namespace zoranth {

struct WebAsset {
    std::string_view path;         // "/index.html", "/app.js", ...
    std::string_view contentType;  // "text/html; charset=utf-8", ...
    std::string_view etag;         // a quoted digest of the bytes: "\"3f2a…\""
    std::string_view body;
};

struct WebAssets {
    // Every embedded file, sorted by path.
    static std::span<const WebAsset> all();

    // The file served for a request target's path: "/" is the page itself; a query
    // ("?…") or fragment is ignored. Anything else must match a path exactly.
    static const WebAsset* find(std::string_view target);

    static constexpr std::string_view indexPath = "/index.html";
};

}  // namespace zoranth
