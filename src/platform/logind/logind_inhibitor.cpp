#include "platform/logind/logind_inhibitor.h"

#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>

namespace zoranth {
namespace {

using Failure = LogindInhibitor::Failure;

constexpr const char* managerService = "org.freedesktop.login1";
constexpr const char* managerPath = "/org/freedesktop/login1";
constexpr const char* managerInterface = "org.freedesktop.login1.Manager";

struct BusRelease {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
using Bus = std::unique_ptr<sd_bus, BusRelease>;

struct MessageRelease {
    void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using Message = std::unique_ptr<sd_bus_message, MessageRelease>;

struct BusError {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    BusError() = default;
    BusError(const BusError&) = delete;
    BusError& operator=(const BusError&) = delete;
    ~BusError() { sd_bus_error_free(&error); }
};

Failure systemFailure(Failure::Case kind, int code) {
    return {kind, code, std::strerror(code)};
}

std::expected<Bus, Failure> openBus(const std::string& address) {
    sd_bus* raw = nullptr;
    if (address.empty()) {
        const int result = sd_bus_open_system(&raw);
        if (result < 0) {
            return std::unexpected(systemFailure(Failure::Case::noBus, -result));
        }
        return Bus(raw);
    }
    int result = sd_bus_new(&raw);
    if (result < 0) {
        return std::unexpected(systemFailure(Failure::Case::noBus, -result));
    }
    Bus bus(raw);
    result = sd_bus_set_address(bus.get(), address.c_str());
    if (result >= 0) {
        result = sd_bus_set_bus_client(bus.get(), 1);
    }
    if (result >= 0) {
        result = sd_bus_start(bus.get());
    }
    if (result < 0) {
        return std::unexpected(systemFailure(Failure::Case::noBus, -result));
    }
    return bus;
}

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// What a failed call says about the bus: sd-bus reports its own transport failures as
// "System.Error.*" names; the bus daemon says when nobody owns the manager's name.
Failure callFailure(int result, const sd_bus_error& error) {
    const int code = -result;
    if (!sd_bus_error_is_set(&error)) {
        return systemFailure(Failure::Case::noBus, code);
    }
    const std::string_view name = error.name;
    std::string detail = std::string(name) + ": " + (error.message ? error.message : "");
    if (code == ETIMEDOUT || name == SD_BUS_ERROR_NO_REPLY || name == SD_BUS_ERROR_TIMEOUT) {
        return {Failure::Case::noLogind, ETIMEDOUT, std::move(detail)};
    }
    if (startsWith(name, "System.Error.")) {
        return {Failure::Case::noBus, code, std::move(detail)};
    }
    // A bus that knows logind as activatable but cannot start it says so with Spawn.*.
    if (startsWith(name, "org.freedesktop.DBus.Error.Spawn.") ||
        name == SD_BUS_ERROR_SERVICE_UNKNOWN || name == SD_BUS_ERROR_NAME_HAS_NO_OWNER ||
        name == SD_BUS_ERROR_UNKNOWN_OBJECT || name == SD_BUS_ERROR_UNKNOWN_INTERFACE ||
        name == SD_BUS_ERROR_UNKNOWN_METHOD) {
        return {Failure::Case::noLogind, code, std::move(detail)};
    }
    return {Failure::Case::refused, code, std::move(detail)};
}

}  // namespace

std::string LogindInhibitor::Failure::text() const {
    switch (kind) {
        case Case::noBus:
            return "no d-bus system bus to reach logind (" + detail + ")";
        case Case::noLogind:
            return "logind is not answering on the system bus (" + detail + ")";
        case Case::refused:
            return "logind refused the inhibitor lock (" + detail + ")";
        case Case::badAnswer:
            return "logind's answer held no usable descriptor (" + detail + ")";
    }
    return detail;
}

LogindInhibitor::Inhibition::Inhibition(Inhibition&& other) noexcept
    : descriptor_(std::exchange(other.descriptor_, -1)) {}

LogindInhibitor::Inhibition& LogindInhibitor::Inhibition::operator=(Inhibition&& other) noexcept {
    if (this != &other) {
        release();
        descriptor_ = std::exchange(other.descriptor_, -1);
    }
    return *this;
}

LogindInhibitor::Inhibition::~Inhibition() {
    release();
}

void LogindInhibitor::Inhibition::release() {
    if (descriptor_ >= 0) {
        ::close(std::exchange(descriptor_, -1));
    }
}

std::expected<LogindInhibitor::Inhibition, LogindInhibitor::Failure> LogindInhibitor::inhibit(
    const Request& request, const std::string& busAddress, std::chrono::milliseconds timeout) {
    auto bus = openBus(busAddress);
    if (!bus) {
        return std::unexpected(bus.error());
    }
    sd_bus_message* rawCall = nullptr;
    int result = sd_bus_message_new_method_call(bus->get(), &rawCall, managerService, managerPath,
                                                managerInterface, "Inhibit");
    Message call(rawCall);
    if (result >= 0) {
        result =
            sd_bus_message_append(call.get(), "ssss", request.what.c_str(), request.who.c_str(),
                                  request.why.c_str(), request.mode.c_str());
    }
    if (result < 0) {
        return std::unexpected(systemFailure(Failure::Case::noBus, -result));
    }

    BusError error;
    sd_bus_message* rawReply = nullptr;
    const auto micros = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(timeout).count());
    result = sd_bus_call(bus->get(), call.get(), micros, &error.error, &rawReply);
    Message reply(rawReply);
    if (result < 0) {
        return std::unexpected(callFailure(result, error.error));
    }

    // The descriptor belongs to the reply; the lock needs a copy that outlives it.
    int descriptor = -1;
    result = sd_bus_message_read(reply.get(), "h", &descriptor);
    if (result <= 0) {
        return std::unexpected(
            systemFailure(Failure::Case::badAnswer, result < 0 ? -result : EBADMSG));
    }
    const int owned = fcntl(descriptor, F_DUPFD_CLOEXEC, 3);
    if (owned < 0) {
        return std::unexpected(systemFailure(Failure::Case::badAnswer, errno));
    }
    return Inhibition(owned);
}

}  // namespace zoranth
