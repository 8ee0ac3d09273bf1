#include "host/web/first_bytes.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace zoranth {

FirstBytes::Verdict FirstBytes::judge(std::span<const std::uint8_t> bytes) {
    static constexpr std::array<std::string_view, 9> requests = {
        "GET ", "HEAD ", "POST ", "PUT ", "DELETE ", "OPTIONS ", "PATCH ", "CONNECT ", "TRACE "};
    const std::string_view seen(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    bool prefix = seen.empty();
    for (const std::string_view request : requests) {
        if (seen.starts_with(request)) {
            return Verdict::webClient;
        }
        prefix = prefix || request.starts_with(seen);
    }
    return prefix ? Verdict::needMore : Verdict::nativeGuest;
}

}  // namespace zoranth
