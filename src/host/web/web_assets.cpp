#include "host/web/web_assets.h"

#include <algorithm>

namespace zoranth {

const WebAsset* WebAssets::find(std::string_view target) {
    std::string_view path = target.substr(0, target.find_first_of("?#"));
    if (path == "/") {
        path = indexPath;
    }
    const auto assets = all();
    const auto found = std::lower_bound(
        assets.begin(), assets.end(), path,
        [](const WebAsset& asset, std::string_view wanted) { return asset.path < wanted; });
    return found != assets.end() && found->path == path ? &*found : nullptr;
}

}  // namespace zoranth
