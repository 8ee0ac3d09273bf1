#include "platform/avahi/avahi_daemon.h"

#include <systemd/sd-bus.h>

#include <memory>
#include <system_error>

namespace zoranth {
namespace {

using Failure = AvahiDaemon::Failure;

struct BusCloser {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};

struct CallError {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    ~CallError() { sd_bus_error_free(&error); }
    std::string text(int result) const {
        if (sd_bus_error_is_set(&error) && error.message != nullptr) {
            return error.message;
        }
        return std::generic_category().message(-result);
    }
};

std::expected<std::unique_ptr<sd_bus, BusCloser>, Failure> connect(const std::string& address) {
    sd_bus* raw = nullptr;
    int result = 0;
    if (address.empty()) {
        result = sd_bus_open_system(&raw);
    } else if ((result = sd_bus_new(&raw)) >= 0) {
        if ((result = sd_bus_set_address(raw, address.c_str())) >= 0 &&
            (result = sd_bus_set_bus_client(raw, 1)) >= 0) {
            result = sd_bus_start(raw);
        }
    }
    std::unique_ptr<sd_bus, BusCloser> bus(raw);
    if (result < 0) {
        return std::unexpected(
            Failure{Failure::Case::busUnreachable, std::generic_category().message(-result)});
    }
    return bus;
}

}  // namespace

std::expected<std::string, Failure> AvahiDaemon::version(const std::string& busAddress,
                                                         std::chrono::milliseconds timeout) {
    auto bus = connect(busAddress);
    if (!bus) {
        return std::unexpected(bus.error());
    }
    sd_bus_set_method_call_timeout(
        bus->get(), std::chrono::duration_cast<std::chrono::microseconds>(timeout).count());

    // Asking the daemon itself would make the bus try to start it.
    {
        CallError error;
        sd_bus_message* reply = nullptr;
        const int result = sd_bus_call_method(
            bus->get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
            "NameHasOwner", &error.error, &reply, "s", serviceName);
        int present = 0;
        if (result >= 0) {
            sd_bus_message_read(reply, "b", &present);
            sd_bus_message_unref(reply);
        }
        if (result < 0) {
            return std::unexpected(Failure{Failure::Case::busUnreachable, error.text(result)});
        }
        if (!present) {
            return std::unexpected(Failure{Failure::Case::notRunning,
                                           std::string(serviceName) + " is not on the system bus"});
        }
    }
    CallError error;
    sd_bus_message* reply = nullptr;
    const int result =
        sd_bus_call_method(bus->get(), serviceName, "/", "org.freedesktop.Avahi.Server",
                           "GetVersionString", &error.error, &reply, "");
    if (result < 0) {
        return std::unexpected(Failure{Failure::Case::notAnswering, error.text(result)});
    }
    const char* text = nullptr;
    const int read = sd_bus_message_read(reply, "s", &text);
    std::string version = read >= 0 && text ? text : "";
    sd_bus_message_unref(reply);
    return version;
}

}  // namespace zoranth
