#include "host/host_log.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <mutex>

namespace zoranth {
namespace {

std::atomic<bool> writesFileFlag{true};

std::string homeFolder() {
    if (const char* home = std::getenv("HOME"); home && *home) {
        return home;
    }
    if (const passwd* entry = getpwuid(getuid()); entry && entry->pw_dir) {
        return entry->pw_dir;
    }
    return "/tmp";
}

// The file is opened once, with O_APPEND, so each line is one write() that lands
// whole at the end even when several threads log at once.
int logFileDescriptor() {
    static const int fd = [] {
        std::error_code ignored;
        std::filesystem::create_directories(HostLog::logFolder(), ignored);
        return ::open(HostLog::logPath().c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    }();
    return fd;
}

std::string timestampNow() {
    timeval now{};
    gettimeofday(&now, nullptr);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<int>(now.tv_usec / 1000));
    return text;
}

}  // namespace

void HostLog::line(std::string_view text) {
    std::string printed;
    printed.reserve(text.size() + 1);
    printed.append(text).push_back('\n');
    std::fwrite(printed.data(), 1, printed.size(), stdout);
    std::fflush(stdout);

    if (!writesFile()) {
        return;
    }
    const int fd = logFileDescriptor();
    if (fd < 0) {
        return;
    }
    std::string stamped = timestampNow();
    stamped.append("  ").append(printed);
    // A short or failed write only loses this line from the file; stdout has it.
    [[maybe_unused]] ssize_t written = ::write(fd, stamped.data(), stamped.size());
}

bool HostLog::writesFile() {
    return writesFileFlag.load(std::memory_order_relaxed);
}

void HostLog::setWritesFile(bool writes) {
    writesFileFlag.store(writes, std::memory_order_relaxed);
}

const std::string& HostLog::logPath() {
    // Never destroyed: queue threads may still log while the process's statics
    // are being torn down at exit.
    static const std::string& path =
        *new std::string(pathFor(std::getenv("XDG_STATE_HOME"), nullptr));
    return path;
}

std::string HostLog::logFolder() {
    return std::filesystem::path(logPath()).parent_path().string();
}

std::string HostLog::pathFor(const char* xdgStateHome, const char* home) {
    // The XDG rule: a relative XDG_STATE_HOME is invalid and must be ignored.
    if (xdgStateHome && xdgStateHome[0] == '/') {
        return std::string(xdgStateHome) + "/zoranth/host.log";
    }
    const std::string base = (home && *home) ? std::string(home) : homeFolder();
    return base + "/.local/state/zoranth/host.log";
}

}  // namespace zoranth
