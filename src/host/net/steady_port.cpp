#include "host/net/steady_port.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <charconv>
#include <filesystem>
#include <fstream>

#include "host/host_log.h"

namespace zoranth {
namespace {

// Binds a TCP socket as the listener would (address reuse on, so a port whose last
// connections linger in TIME_WAIT still counts as free); the bound port, or none.
std::optional<std::uint16_t> bindOnce(const std::string& address, std::uint16_t port) {
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.c_str(), &where.sin_addr) != 1) {
        return std::nullopt;
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return std::nullopt;
    }
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    std::optional<std::uint16_t> bound;
    socklen_t length = sizeof where;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&where), sizeof where) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&where), &length) == 0) {
        bound = ntohs(where.sin_port);
    }
    ::close(fd);
    return bound;
}

}  // namespace

SteadyPort::Choice SteadyPort::choose(std::optional<std::uint16_t> requested) const {
    if (requested && *requested != 0) {
        return {*requested, false, remembered()};
    }
    const std::optional<std::uint16_t> usual = remembered();
    if (usual && isFree(*usual)) {
        return {*usual, false, usual};
    }
    return {anyFreePort(), usual.has_value(), usual};
}

bool SteadyPort::remember(std::uint16_t port) const {
    if (port == 0 || remembered()) {
        return port != 0;
    }
    namespace fs = std::filesystem;
    const fs::path file(setup_.stateFile);
    std::error_code error;
    fs::create_directories(file.parent_path(), error);
    // Written aside and renamed, so that a rave starting meanwhile reads all or nothing.
    const fs::path partial = file.string() + ".partial";
    {
        std::ofstream out(partial, std::ios::trunc);
        out << port << '\n';
        if (!out.flush()) {
            return false;
        }
    }
    fs::rename(partial, file, error);
    return !error;
}

std::uint16_t SteadyPort::settle() const {
    if (const auto usual = remembered()) {
        return *usual;
    }
    const std::uint16_t port = anyFreePort();
    remember(port);
    return port;
}

std::optional<std::uint16_t> SteadyPort::remembered() const {
    std::ifstream in(setup_.stateFile);
    std::string text;
    if (!std::getline(in, text)) {
        return std::nullopt;
    }
    unsigned value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value == 0 || value > 65535) {
        return std::nullopt;  // a damaged file is forgotten, and the next rave chooses anew
    }
    return static_cast<std::uint16_t>(value);
}

bool SteadyPort::isFree(std::uint16_t port) const {
    return bindOnce(setup_.listenAddress, port).has_value();
}

std::uint16_t SteadyPort::anyFreePort() const {
    return bindOnce(setup_.listenAddress, 0).value_or(0);
}

std::string SteadyPort::fallbackLine(std::uint16_t usual, std::uint16_t chosen) {
    return "port " + std::to_string(usual) +
           ", this computer's usual port for raves, is taken by another program; listening on " +
           std::to_string(chosen) + " instead (a firewall rule made for " + std::to_string(usual) +
           " does not cover it)";
}

std::string SteadyPort::defaultStateFile() {
    return (std::filesystem::path(HostLog::logFolder()) / "rave-port").string();
}

}  // namespace zoranth
