#include "platform/firewall/firewalld_bus.h"

#include <systemd/sd-bus.h>

#include <cstring>
#include <memory>
#include <system_error>

namespace zoranth {
namespace {

constexpr const char* objectPath = "/org/fedoraproject/FirewallD1";
constexpr const char* mainInterface = "org.fedoraproject.FirewallD1";
constexpr const char* zoneInterface = "org.fedoraproject.FirewallD1.zone";

using Failure = FirewalldBus::Failure;

struct BusCloser {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
using Bus = std::unique_ptr<sd_bus, BusCloser>;

struct MessageCloser {
    void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using Message = std::unique_ptr<sd_bus_message, MessageCloser>;

// Frees the error's strings however the call ends.
struct CallError {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    ~CallError() { sd_bus_error_free(&error); }

    Failure failure(const char* call, int result) const {
        if (sd_bus_error_is_set(&error)) {
            return {error.name ? error.name : "", error.message ? error.message : ""};
        }
        return {"", std::string(call) + ": " + std::generic_category().message(-result)};
    }
};

Failure failure(const char* call, int result) {
    return {"", std::string(call) + ": " + std::generic_category().message(-result)};
}

std::expected<Bus, Failure> connect(const FirewalldBus::Setup& setup) {
    sd_bus* raw = nullptr;
    if (setup.busAddress.empty()) {
        const int opened = sd_bus_open_system(&raw);
        if (opened < 0) {
            return std::unexpected(failure("sd_bus_open_system", opened));
        }
    } else {
        int result = sd_bus_new(&raw);
        if (result < 0) {
            return std::unexpected(failure("sd_bus_new", result));
        }
        Bus made(raw);
        if ((result = sd_bus_set_address(raw, setup.busAddress.c_str())) < 0 ||
            (result = sd_bus_set_bus_client(raw, 1)) < 0 || (result = sd_bus_start(raw)) < 0) {
            return std::unexpected(failure("sd_bus_start", result));
        }
        raw = made.release();
    }
    Bus bus(raw);
    sd_bus_set_method_call_timeout(
        bus.get(), std::chrono::duration_cast<std::chrono::microseconds>(setup.timeout).count());
    return bus;
}

// Calls a method that takes at most one string and answers with one value, read by
// `read` from the reply.
template <typename Read>
auto call(sd_bus* bus, const char* destination, const char* path, const char* interface,
          const char* method, const char* argument, Read read)
    -> decltype(read(std::declval<sd_bus_message*>())) {
    CallError error;
    sd_bus_message* reply = nullptr;
    const int result = argument ? sd_bus_call_method(bus, destination, path, interface, method,
                                                     &error.error, &reply, "s", argument)
                                : sd_bus_call_method(bus, destination, path, interface, method,
                                                     &error.error, &reply, "");
    if (result < 0) {
        return std::unexpected(error.failure(method, result));
    }
    Message owned(reply);
    return read(reply);
}

std::expected<std::string, Failure> readString(sd_bus_message* reply) {
    const char* text = nullptr;
    const int result = sd_bus_message_read(reply, "s", &text);
    if (result < 0) {
        return std::unexpected(failure("sd_bus_message_read", result));
    }
    return std::string(text ? text : "");
}

std::expected<bool, Failure> readBool(sd_bus_message* reply) {
    int value = 0;
    const int result = sd_bus_message_read(reply, "b", &value);
    if (result < 0) {
        return std::unexpected(failure("sd_bus_message_read", result));
    }
    return value != 0;
}

// An a(ss) of port and protocol, inside a variant already entered.
int readPorts(sd_bus_message* reply, std::vector<FirewalldZone::Port>& ports) {
    int result = sd_bus_message_enter_container(reply, SD_BUS_TYPE_ARRAY, "(ss)");
    if (result < 0) {
        return result;
    }
    const char* port = nullptr;
    const char* protocol = nullptr;
    while ((result = sd_bus_message_read(reply, "(ss)", &port, &protocol)) > 0) {
        ports.push_back({port, protocol});
    }
    if (result < 0) {
        return result;
    }
    return sd_bus_message_exit_container(reply);
}

// The zone's or a service's a{sv} settings: target, services and ports, the rest
// skipped.
struct Settings {
    std::string target;
    std::vector<std::string> services;
    std::vector<FirewalldZone::Port> ports;
};

std::expected<Settings, Failure> readSettings(sd_bus_message* reply) {
    Settings settings;
    int result = sd_bus_message_enter_container(reply, SD_BUS_TYPE_ARRAY, "{sv}");
    const auto broken = [&] {
        return std::unexpected(failure("reading the zone settings", result));
    };
    if (result < 0) {
        return broken();
    }
    while ((result = sd_bus_message_enter_container(reply, SD_BUS_TYPE_DICT_ENTRY, "sv")) > 0) {
        const char* key = nullptr;
        if ((result = sd_bus_message_read(reply, "s", &key)) < 0) {
            return broken();
        }
        const std::string name = key ? key : "";
        if (name == "target" &&
            sd_bus_message_enter_container(reply, SD_BUS_TYPE_VARIANT, "s") > 0) {
            const char* target = nullptr;
            if ((result = sd_bus_message_read(reply, "s", &target)) < 0 ||
                (result = sd_bus_message_exit_container(reply)) < 0) {
                return broken();
            }
            settings.target = target ? target : "";
        } else if (name == "services" &&
                   sd_bus_message_enter_container(reply, SD_BUS_TYPE_VARIANT, "as") > 0) {
            if ((result = sd_bus_message_enter_container(reply, SD_BUS_TYPE_ARRAY, "s")) < 0) {
                return broken();
            }
            const char* service = nullptr;
            while ((result = sd_bus_message_read(reply, "s", &service)) > 0) {
                settings.services.emplace_back(service);
            }
            if (result < 0 || (result = sd_bus_message_exit_container(reply)) < 0 ||
                (result = sd_bus_message_exit_container(reply)) < 0) {
                return broken();
            }
        } else if (name == "ports" &&
                   sd_bus_message_enter_container(reply, SD_BUS_TYPE_VARIANT, "a(ss)") > 0) {
            if ((result = readPorts(reply, settings.ports)) < 0 ||
                (result = sd_bus_message_exit_container(reply)) < 0) {
                return broken();
            }
        } else if ((result = sd_bus_message_skip(reply, "v")) < 0) {
            return broken();
        }
        if ((result = sd_bus_message_exit_container(reply)) < 0) {
            return broken();
        }
    }
    if (result < 0 || (result = sd_bus_message_exit_container(reply)) < 0) {
        return broken();
    }
    return settings;
}

std::expected<FirewalldZone, Failure> readZone(sd_bus* bus, const std::string& name) {
    auto settings = call(bus, FirewalldBus::serviceName, objectPath, zoneInterface,
                         "getZoneSettings2", name.c_str(), readSettings);
    if (!settings) {
        return std::unexpected(settings.error());
    }
    FirewalldZone zone;
    zone.name = name;
    if (!settings->target.empty()) {
        zone.target = settings->target;
    }
    zone.ports = std::move(settings->ports);
    for (const std::string& service : settings->services) {
        // A service whose definition cannot be read still counts by name, without ports.
        auto defined = call(bus, FirewalldBus::serviceName, objectPath, mainInterface,
                            "getServiceSettings2", service.c_str(), readSettings);
        zone.services.push_back(
            {service, defined ? std::move(defined->ports) : std::vector<FirewalldZone::Port>{}});
    }
    return zone;
}

}  // namespace

std::string FirewalldBus::Failure::describe() const {
    if (name.empty()) {
        return text;
    }
    return text.empty() ? name : name + ": " + text;
}

std::expected<std::optional<FirewalldBus::State>, FirewalldBus::Failure> FirewalldBus::inspect(
    const Setup& setup) {
    auto bus = connect(setup);
    if (!bus) {
        return std::unexpected(bus.error());
    }
    sd_bus* raw = bus->get();
    auto present = call(raw, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                        "org.freedesktop.DBus", "NameHasOwner", serviceName, readBool);
    if (!present) {
        return std::unexpected(present.error());
    }
    if (!*present) {
        return std::optional<State>();
    }

    // From here on firewalld is there: what it does not answer is recorded, not fatal.
    State state;
    {
        CallError error;
        char* word = nullptr;
        if (sd_bus_get_property_string(raw, serviceName, objectPath, mainInterface, "state",
                                       &error.error, &word) >= 0) {
            state.state = word ? word : "";
        }
        std::free(word);
    }
    auto defaultZone =
        call(raw, serviceName, objectPath, mainInterface, "getDefaultZone", nullptr, readString);
    if (!defaultZone) {
        state.zone = std::unexpected(defaultZone.error());
        return std::optional<State>(std::move(state));
    }
    state.defaultZone = *defaultZone;
    if (!setup.interfaceName.empty()) {
        auto bound = call(raw, serviceName, objectPath, zoneInterface, "getZoneOfInterface",
                          setup.interfaceName.c_str(), readString);
        if (!bound) {
            state.zone = std::unexpected(bound.error());
            return std::optional<State>(std::move(state));
        }
        state.interfaceZone = *bound;
    }
    state.zone =
        readZone(raw, state.interfaceZone.empty() ? state.defaultZone : state.interfaceZone);
    return std::optional<State>(std::move(state));
}

}  // namespace zoranth
