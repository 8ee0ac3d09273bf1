#include "host/checks/command_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

extern char** environ;

namespace zoranth {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Owns one end of a pipe.
class Descriptor {
  public:
    Descriptor() = default;
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(Descriptor&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    Descriptor& operator=(Descriptor&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = other.fd_;
            other.fd_ = -1;
        }
        return *this;
    }
    int get() const { return fd_; }
    void reset() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = -1;
    }

  private:
    int fd_ = -1;
};

struct Pipe {
    Descriptor read;
    Descriptor write;
};

// Close-on-exec on both ends, so that a program started at the same moment by another
// thread never inherits this one's write end and keeps it open.
std::expected<Pipe, int> makePipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        return std::unexpected(errno);
    }
    return Pipe{Descriptor(fds[0]), Descriptor(fds[1])};
}

CommandRunner::Failure failure(int code) {
    return {code, std::strerror(code)};
}

class SpawnSetup {
  public:
    SpawnSetup() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
};

// The child leads a process group of its own, so that a timeout ends whatever it started
// too, and starts with no blocked signals and default dispositions: a parent that blocks
// SIGTERM for a signal-waiting thread must not pass that on.
void prepareAttributes(posix_spawnattr_t& attributes) {
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGPIPE, SIGQUIT}) {
        sigaddset(&defaults, signal);
    }
    posix_spawnattr_setflags(
        &attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
}

// Reads what is there into `into`; false at end of file or on an error.
bool drain(int fd, std::string& into) {
    char buffer[8192];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got > 0) {
            const std::size_t room =
                CommandRunner::outputLimit - std::min(into.size(), CommandRunner::outputLimit);
            into.append(buffer, std::min(static_cast<std::size_t>(got), room));
            continue;
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return true;
        }
        return false;
    }
}

int millisecondsUntil(std::optional<Clock::time_point> deadline) {
    if (!deadline) {
        return -1;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
    return static_cast<int>(std::max<std::chrono::milliseconds::rep>(0, left.count()));
}

// The child's wait status once it has ended; nothing while it runs. A child that cannot
// be waited for any more counts as ended with a status that is not an exit (-1).
std::optional<int> reap(pid_t pid, int options) {
    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(pid, &status, options);
        if (done == pid) {
            return status;
        }
        if (done == 0) {
            return std::nullopt;
        }
        if (errno != EINTR) {
            return -1;
        }
    }
}

// Whether the child has ended, leaving it unreaped: while it is a zombie its process
// group id cannot be taken by anyone else, so signalling the group stays safe.
bool hasEnded(pid_t pid) {
    siginfo_t info{};
    for (;;) {
        if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0) {
            return info.si_pid == pid;
        }
        if (errno != EINTR) {
            return true;
        }
    }
}

// Ends the child's process group: SIGTERM, then SIGKILL for what outlives the grace or
// was left behind by the child.
int terminate(pid_t pid) {
    ::kill(-pid, SIGTERM);
    const auto giveUp = Clock::now() + CommandRunner::terminationGrace;
    while (Clock::now() < giveUp && !hasEnded(pid)) {
        std::this_thread::sleep_for(5ms);
    }
    ::kill(-pid, SIGKILL);
    return reap(pid, 0).value_or(-1);
}

}  // namespace

std::expected<CommandRunner::Result, CommandRunner::Failure> CommandRunner::run(
    const Request& request) {
    auto output = makePipe();
    if (!output) {
        return std::unexpected(failure(output.error()));
    }
    std::optional<Pipe> errors;
    if (request.readErrors) {
        auto made = makePipe();
        if (!made) {
            return std::unexpected(failure(made.error()));
        }
        errors = std::move(*made);
    }

    SpawnSetup setup;
    posix_spawn_file_actions_addopen(&setup.actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&setup.actions, output->write.get(), 1);
    if (errors) {
        posix_spawn_file_actions_adddup2(&setup.actions, errors->write.get(), 2);
    } else {
        // Never read, so never a pipe: a chatty program would fill it and stall.
        posix_spawn_file_actions_addopen(&setup.actions, 2, "/dev/null", O_WRONLY, 0);
    }
    prepareAttributes(setup.attributes);

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(request.path.c_str()));
    for (const std::string& argument : request.arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);

    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, request.path.c_str(), &setup.actions, &setup.attributes,
                                      argv.data(), environ);
    if (spawned != 0) {
        return std::unexpected(failure(spawned));
    }
    output->write.reset();
    if (errors) {
        errors->write.reset();
    }

    const std::optional<Clock::time_point> deadline =
        request.timeout ? std::optional(Clock::now() + *request.timeout) : std::nullopt;
    Result result;
    ::fcntl(output->read.get(), F_SETFL, O_NONBLOCK);
    if (errors) {
        ::fcntl(errors->read.get(), F_SETFL, O_NONBLOCK);
    }
    bool outputOpen = true;
    bool errorsOpen = errors.has_value();
    while (outputOpen || errorsOpen) {
        pollfd watched[2];
        nfds_t count = 0;
        if (outputOpen) {
            watched[count++] = {output->read.get(), POLLIN, 0};
        }
        if (errorsOpen) {
            watched[count++] = {errors->read.get(), POLLIN, 0};
        }
        const int ready = ::poll(watched, count, millisecondsUntil(deadline));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready == 0) {
            result.timedOut = true;
            break;
        }
        if (ready < 0) {
            break;
        }
        for (nfds_t i = 0; i < count; ++i) {
            if (watched[i].revents == 0) {
                continue;
            }
            if (watched[i].fd == output->read.get()) {
                outputOpen = drain(watched[i].fd, result.output);
            } else {
                errorsOpen = drain(watched[i].fd, result.errors);
            }
        }
    }

    // Its output is closed; it may still be running until the deadline.
    std::optional<int> status;
    while (!result.timedOut && !(status = reap(pid, WNOHANG))) {
        if (deadline && Clock::now() >= *deadline) {
            result.timedOut = true;
            break;
        }
        std::this_thread::sleep_for(2ms);
    }
    if (result.timedOut) {
        status = terminate(pid);
    }
    if (status && WIFEXITED(*status) && !result.timedOut) {
        result.exitStatus = WEXITSTATUS(*status);
    }
    return result;
}

}  // namespace zoranth
