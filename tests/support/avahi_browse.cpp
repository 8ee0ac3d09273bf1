#include "avahi_browse.h"

#include <cctype>
#include <cstdio>
#include <sstream>

namespace zoranth {
namespace {

// avahi-browse's parsable output writes spaces and bytes outside ASCII as \DDD.
std::string unescape(const std::string& text) {
    std::string plain;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() + 1 &&
            std::isdigit(static_cast<unsigned char>(text[i + 1]))) {
            plain += static_cast<char>(std::stoi(text.substr(i + 1, 3)));
            i += 3;
        } else if (text[i] == '\\' && i + 1 < text.size()) {
            plain += text[++i];
        } else {
            plain += text[i];
        }
    }
    return plain;
}

}  // namespace

std::vector<BrowsedService> avahiBrowse(const std::string& type) {
    std::vector<BrowsedService> found;
    const std::string command = "avahi-browse -r -t -p '" + type + "' 2>/dev/null";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return found;
    }
    char line[2048];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        // =;interface;protocol;name;type;domain;host;address;port;txt
        std::vector<std::string> fields;
        std::stringstream stream(line);
        for (std::string field; std::getline(stream, field, ';');) {
            fields.push_back(field);
        }
        if (fields.size() >= 9 && fields[0] == "=") {
            found.push_back({unescape(fields[3]), unescape(fields[6]), std::stoi(fields[8])});
        }
    }
    ::pclose(pipe);
    return found;
}

std::optional<BrowsedService> avahiFind(const std::string& type, const std::string& name) {
    for (auto& service : avahiBrowse(type)) {
        if (service.name == name) {
            return service;
        }
    }
    return std::nullopt;
}

}  // namespace zoranth
