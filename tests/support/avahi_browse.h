// Looks for DNS-SD services the way a guest's resolver does, with avahi-browse against
// the test services' loopback-only daemon.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace zoranth {

struct BrowsedService {
    std::string name;
    std::string host;
    int port = 0;
};

// Every resolved service of `type` ("_zoranth._tcp") the daemon knows right now.
std::vector<BrowsedService> avahiBrowse(const std::string& type);
// The one named `name`, if listed.
std::optional<BrowsedService> avahiFind(const std::string& type, const std::string& name);

}  // namespace zoranth
