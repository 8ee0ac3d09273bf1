#include "host/checks/sandbox.h"

#include <cstdlib>
#include <fstream>

namespace zoranth {
namespace {

std::optional<std::string> environmentVariable(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == 0) {
        return std::nullopt;
    }
    return std::string(value);
}

// The "name=" of the [Application] group, which Flatpak writes into every sandbox.
std::optional<std::string> flatpakApplication(const std::string& path) {
    std::ifstream file(path);
    if (!file) {
        return std::nullopt;
    }
    bool inApplication = false;
    for (std::string line; std::getline(file, line);) {
        if (line.starts_with("[")) {
            inApplication = line.starts_with("[Application]");
        } else if (inApplication && line.starts_with("name=")) {
            return line.substr(5);
        }
    }
    return std::string();
}

}  // namespace

Sandbox Sandbox::detect() {
    return detect(environmentVariable, "/.flatpak-info");
}

Sandbox Sandbox::detect(const std::function<std::optional<std::string>(const char*)>& variable,
                        const std::string& flatpakInfoPath) {
    if (variable("SNAP")) {
        auto name = variable("SNAP_INSTANCE_NAME");
        if (!name) {
            name = variable("SNAP_NAME");
        }
        return {Kind::snap, name.value_or("zoranth-host")};
    }
    if (auto id = variable("FLATPAK_ID")) {
        return {Kind::flatpak, *id};
    }
    if (auto id = flatpakApplication(flatpakInfoPath)) {
        return {Kind::flatpak, id->empty() ? std::string("com.zoranth.host") : *id};
    }
    return {};
}

std::string Sandbox::label() const {
    switch (kind) {
        case Kind::snap:
            return "Snap";
        case Kind::flatpak:
            return "Flatpak";
        case Kind::none:
            break;
    }
    return {};
}

std::string Sandbox::audioFix() const {
    switch (kind) {
        case Kind::snap:
            return "snap connect " + name + ":audio-record";
        case Kind::flatpak:
            return "flatpak override --user --socket=pulseaudio " + name;
        case Kind::none:
            break;
    }
    return {};
}

}  // namespace zoranth
