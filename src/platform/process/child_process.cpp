#include "platform/process/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <future>
#include <mutex>
#include <system_error>

extern char** environ;

namespace zoranth {
namespace {

using namespace std::chrono_literals;

// Owns one descriptor; -1 when empty.
class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    ~Fd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    void reset() {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }

  private:
    int fd_ = -1;
};

struct Pipe {
    Fd read;
    Fd write;
};

std::expected<Pipe, int> makePipe() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        return std::unexpected(errno);
    }
    return Pipe{Fd(ends[0]), Fd(ends[1])};
}

// Writing into a pipe whose reader is gone raises SIGPIPE, whose default action
// ends this whole process; a host must survive a child that exits early. A handler
// the program installed itself is left alone.
void ignoreBrokenPipes() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction current {};
        if (::sigaction(SIGPIPE, nullptr, &current) == 0 && !(current.sa_flags & SA_SIGINFO) &&
            current.sa_handler == SIG_DFL) {
            ::signal(SIGPIPE, SIG_IGN);
        }
    });
}

// A descriptor that becomes readable when the child ends; -1 where the kernel has
// no pidfd, and the watcher then polls.
int openPidFd(pid_t pid) {
#ifdef SYS_pidfd_open
    const long fd = ::syscall(SYS_pidfd_open, pid, 0);
    if (fd >= 0) {
        ::fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
        return static_cast<int>(fd);
    }
#endif
    (void)pid;
    return -1;
}

std::vector<std::string> environmentWith(
    const std::vector<std::pair<std::string, std::string>>& overrides) {
    std::vector<std::string> entries;
    for (char** entry = environ; entry && *entry; ++entry) {
        const std::string_view text(*entry);
        const auto replaced = std::find_if(overrides.begin(), overrides.end(), [&](const auto& o) {
            return text.size() > o.first.size() && text.starts_with(o.first) &&
                   text[o.first.size()] == '=';
        });
        if (replaced == overrides.end()) {
            entries.emplace_back(text);
        }
    }
    for (const auto& [name, value] : overrides) {
        entries.push_back(name + "=" + value);
    }
    return entries;
}

std::vector<char*> pointersTo(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    pointers.reserve(strings.size() + 1);
    for (std::string& text : strings) {
        pointers.push_back(text.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

ChildProcess::Exit exitFromWaitStatus(int status) {
    if (WIFEXITED(status)) {
        return {ChildProcess::Exit::Case::exited, WEXITSTATUS(status)};
    }
    if (WIFSIGNALED(status)) {
        return {ChildProcess::Exit::Case::signaled, WTERMSIG(status)};
    }
    return {};
}

// The file actions and attributes of one spawn, released however the spawn ends.
struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;

    SpawnSetup() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
        sigset_t none;
        sigemptyset(&none);
        sigset_t all;
        sigfillset(&all);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setsigdefault(&attributes, &all);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    void connect(int target, ChildProcess::Stream stream, const Pipe* pipe, bool childReads) {
        switch (stream) {
            case ChildProcess::Stream::pipe:
                if (pipe) {
                    posix_spawn_file_actions_adddup2(
                        &actions, childReads ? pipe->read.get() : pipe->write.get(), target);
                    return;
                }
                [[fallthrough]];
            case ChildProcess::Stream::null:
                posix_spawn_file_actions_addopen(&actions, target, "/dev/null",
                                                 childReads ? O_RDONLY : O_WRONLY, 0);
                return;
            case ChildProcess::Stream::inherit:
                return;
            case ChildProcess::Stream::separate:
                if (pipe) {
                    posix_spawn_file_actions_adddup2(&actions, pipe->write.get(), target);
                }
                return;
        }
    }
};

}  // namespace

struct ChildProcess::State {
    pid_t pid = -1;
    bool groupLeader = false;
    std::string threadName;
    Fd pidFd;
    Fd output;  // the watcher's only
    Fd errors;  // the watcher's only

    std::mutex inputLock;
    Fd input;

    std::mutex exitLock;
    std::condition_variable exitChanged;
    std::optional<Exit> exit;

    // Held while a handler runs, so that removing them can wait for it.
    std::mutex handlerLock;
    Handlers handlers;
    std::atomic<bool> handlersRemoved{false};

    // Reaps the child if it has ended. The pid stays ours until this succeeds, so a
    // signal sent under exitLock before then never reaches a stranger.
    std::optional<Exit> tryReap() {
        std::lock_guard lock(exitLock);
        if (!exit) {
            int status = 0;
            const pid_t reaped = ::waitpid(pid, &status, WNOHANG);
            if (reaped == pid) {
                exit = exitFromWaitStatus(status);
            } else if (reaped < 0 && errno == ECHILD) {
                exit = Exit{};
            }
            if (exit) {
                exitChanged.notify_all();
            }
        }
        return exit;
    }

    // The group id is the leader's pid, which stays taken while it is unreaped.
    void signal(int number) {
        std::lock_guard lock(exitLock);
        if (!exit) {
            ::kill(groupLeader ? -pid : pid, number);
        }
    }

    std::optional<Exit> waitForExit(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            if (auto ended = tryReap()) {
                return ended;
            }
            const auto now = std::chrono::steady_clock::now();
            if (now >= deadline) {
                return std::nullopt;
            }
            // The watcher announces a reap it made; short slices catch the rest.
            std::unique_lock lock(exitLock);
            exitChanged.wait_for(lock, std::min<std::chrono::nanoseconds>(deadline - now, 5ms));
        }
    }

    using Sink = std::function<void(std::span<const std::uint8_t>)> Handlers::*;

    void deliver(Sink sink, std::span<const std::uint8_t> bytes) {
        std::lock_guard lock(handlerLock);
        if (!handlersRemoved && handlers.*sink) {
            (handlers.*sink)(bytes);
        }
    }

    void deliverExit(Exit ended) {
        std::lock_guard lock(handlerLock);
        if (!handlersRemoved && handlers.exit) {
            handlers.exit(ended);
        }
    }

    // Reads what the pipe holds now; closes it once the child has closed its end.
    void readFrom(Fd& pipe, Sink sink) {
        std::array<std::uint8_t, 65536> buffer;
        const ssize_t count = ::read(pipe.get(), buffer.data(), buffer.size());
        if (count > 0) {
            deliver(sink, {buffer.data(), static_cast<std::size_t>(count)});
            return;
        }
        if (count < 0 && (errno == EAGAIN || errno == EINTR)) {
            return;
        }
        pipe.reset();
    }

    // After the child ended its pipe holds all it wrote; a descendant that kept the
    // write end open cannot hold the exit back, and one that keeps writing is cut off.
    void drain(Fd& pipe, Sink sink) {
        for (int reads = 0; pipe.valid() && reads < 1024; ++reads) {
            std::array<std::uint8_t, 65536> buffer;
            const ssize_t count = ::read(pipe.get(), buffer.data(), buffer.size());
            if (count > 0) {
                deliver(sink, {buffer.data(), static_cast<std::size_t>(count)});
            } else if (count < 0 && errno == EINTR) {
                continue;
            } else {
                break;
            }
        }
        pipe.reset();
    }

    bool childEnded(const pollfd* pidEvent) {
        if (pidEvent) {
            return (pidEvent->revents & (POLLIN | POLLHUP | POLLERR)) != 0;
        }
        return tryReap().has_value();
    }

    static void watch(const std::shared_ptr<State>& state) {
        pthread_setname_np(pthread_self(), state->threadName.substr(0, 15).c_str());
        for (;;) {
            std::array<pollfd, 3> fds{};
            nfds_t count = 0;
            const pollfd* outputEvent = nullptr;
            const pollfd* errorEvent = nullptr;
            const pollfd* pidEvent = nullptr;
            if (state->output.valid()) {
                fds[count] = {state->output.get(), POLLIN, 0};
                outputEvent = &fds[count++];
            }
            if (state->errors.valid()) {
                fds[count] = {state->errors.get(), POLLIN, 0};
                errorEvent = &fds[count++];
            }
            if (state->pidFd.valid()) {
                fds[count] = {state->pidFd.get(), POLLIN, 0};
                pidEvent = &fds[count++];
            }
            const int ready = ::poll(fds.data(), count, pidEvent ? -1 : 50);
            if (ready < 0 && errno != EINTR) {
                break;
            }
            if (outputEvent && outputEvent->revents != 0) {
                state->readFrom(state->output, &Handlers::output);
            }
            if (errorEvent && errorEvent->revents != 0) {
                state->readFrom(state->errors, &Handlers::error);
            }
            if (state->childEnded(pidEvent)) {
                break;
            }
        }
        state->drain(state->output, &Handlers::output);
        state->drain(state->errors, &Handlers::error);
        std::optional<Exit> ended;
        while (!(ended = state->waitForExit(1s))) {
        }
        state->deliverExit(*ended);
    }
};

std::string ChildProcess::Exit::text() const {
    switch (kind) {
        case Case::exited:
            return "exit status " + std::to_string(code);
        case Case::signaled:
            return "signal " + std::to_string(code);
        case Case::unknown:
            break;
    }
    return "unknown";
}

std::string ChildProcess::Failure::text() const {
    return executable + ": " + std::error_code(error, std::generic_category()).message();
}

ChildProcess::ChildProcess(std::shared_ptr<State> state, std::thread watcher)
    : state_(std::move(state)), watcher_(std::move(watcher)) {}

std::expected<std::shared_ptr<ChildProcess>, ChildProcess::Failure> ChildProcess::launch(
    Options options, Handlers handlers) {
    const auto failed = [&](Failure::Case kind, int error) {
        return std::unexpected(Failure{kind, options.executable, error});
    };
    std::optional<Pipe> input;
    std::optional<Pipe> output;
    std::optional<Pipe> errors;
    if (options.error == Stream::separate) {
        auto made = makePipe();
        if (!made) {
            return failed(Failure::Case::pipeFailed, made.error());
        }
        errors = std::move(*made);
    }
    if (options.input == Stream::pipe) {
        auto made = makePipe();
        if (!made) {
            return failed(Failure::Case::pipeFailed, made.error());
        }
        input = std::move(*made);
        ignoreBrokenPipes();
    }
    if (options.output == Stream::pipe) {
        auto made = makePipe();
        if (!made) {
            return failed(Failure::Case::pipeFailed, made.error());
        }
        output = std::move(*made);
    }

    SpawnSetup setup;
    setup.connect(STDIN_FILENO, options.input, input ? &*input : nullptr, true);
    setup.connect(STDOUT_FILENO, options.output, output ? &*output : nullptr, false);
    if (options.error == Stream::pipe && output) {
        // Standard error joins the output pipe.
        posix_spawn_file_actions_adddup2(&setup.actions, output->write.get(), STDERR_FILENO);
    } else {
        setup.connect(STDERR_FILENO, options.error, errors ? &*errors : nullptr, false);
    }
    if (options.ownProcessGroup) {
        posix_spawnattr_setpgroup(&setup.attributes, 0);
        posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                                        POSIX_SPAWN_SETPGROUP);
    }
    // Descriptors this process opened without close-on-exec (sockets, logs) stay here.
    posix_spawn_file_actions_addclosefrom_np(&setup.actions, 3);

    std::vector<std::string> argumentStrings{options.executable};
    argumentStrings.insert(argumentStrings.end(), options.arguments.begin(),
                           options.arguments.end());
    std::vector<char*> argv = pointersTo(argumentStrings);
    std::vector<std::string> environmentStrings = environmentWith(options.environment);
    std::vector<char*> envp = pointersTo(environmentStrings);

    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, options.executable.c_str(), &setup.actions,
                                      &setup.attributes, argv.data(), envp.data());
    if (spawned != 0) {
        return failed(Failure::Case::spawnFailed, spawned);
    }

    auto state = std::make_shared<State>();
    state->pid = pid;
    state->groupLeader = options.ownProcessGroup;
    state->threadName = options.threadName;
    state->pidFd = Fd(openPidFd(pid));
    state->handlers = std::move(handlers);
    if (input) {
        state->input = std::move(input->write);
    }
    if (output) {
        ::fcntl(output->read.get(), F_SETFL, ::fcntl(output->read.get(), F_GETFL) | O_NONBLOCK);
        state->output = std::move(output->read);
    }
    if (errors) {
        ::fcntl(errors->read.get(), F_SETFL, ::fcntl(errors->read.get(), F_GETFL) | O_NONBLOCK);
        state->errors = std::move(errors->read);
    }
    std::thread watcher([state] { State::watch(state); });
    return std::make_shared<ChildProcess>(std::move(state), std::move(watcher));
}

std::expected<ChildProcess::Completed, ChildProcess::Failure> ChildProcess::run(
    Options options, std::optional<std::chrono::milliseconds> timeout) {
    struct Collected {
        std::mutex lock;
        std::string output;
        std::string errors;
        std::promise<Exit> exit;
    };
    auto collected = std::make_shared<Collected>();
    options.input = Stream::null;
    const auto keep = [](std::string& into, std::span<const std::uint8_t> bytes) {
        const std::size_t room = collectLimit - std::min(into.size(), collectLimit);
        into.append(bytes.begin(), bytes.begin() + std::min(room, bytes.size()));
    };
    Handlers handlers{
        .output =
            [collected, keep](std::span<const std::uint8_t> bytes) {
                std::lock_guard lock(collected->lock);
                keep(collected->output, bytes);
            },
        .exit = [collected](Exit ended) { collected->exit.set_value(ended); },
        .error =
            [collected, keep](std::span<const std::uint8_t> bytes) {
                std::lock_guard lock(collected->lock);
                keep(collected->errors, bytes);
            },
    };
    auto exitFuture = collected->exit.get_future();
    auto child = launch(std::move(options), std::move(handlers));
    if (!child) {
        return std::unexpected(child.error());
    }
    Completed completed;
    if (timeout && exitFuture.wait_for(*timeout) != std::future_status::ready) {
        completed.timedOut = true;
        (*child)->terminate(1s);
    }
    // The exit is handed over after the last output.
    completed.exit = exitFuture.get();
    std::lock_guard lock(collected->lock);
    completed.output = std::move(collected->output);
    completed.errors = std::move(collected->errors);
    return completed;
}

pid_t ChildProcess::pid() const {
    return state_->pid;
}

bool ChildProcess::isRunning() const {
    return !state_->tryReap().has_value();
}

std::optional<ChildProcess::Exit> ChildProcess::exit() const {
    std::lock_guard lock(state_->exitLock);
    return state_->exit;
}

std::expected<void, int> ChildProcess::write(std::span<const std::uint8_t> bytes) {
    std::lock_guard lock(state_->inputLock);
    if (!state_->input.valid()) {
        return std::unexpected(EBADF);
    }
    while (!bytes.empty()) {
        const ssize_t written = ::write(state_->input.get(), bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return std::unexpected(errno);
        }
        bytes = bytes.subspan(static_cast<std::size_t>(written));
    }
    return {};
}

void ChildProcess::closeInput() {
    std::lock_guard lock(state_->inputLock);
    state_->input.reset();
}

std::optional<boost::asio::posix::stream_descriptor> ChildProcess::takeInput(
    const boost::asio::any_io_executor& executor) {
    Fd taken;
    {
        std::lock_guard lock(state_->inputLock);
        taken = std::move(state_->input);
    }
    if (!taken.valid()) {
        return std::nullopt;
    }
    boost::asio::posix::stream_descriptor descriptor(executor);
    boost::system::error_code error;
    descriptor.assign(taken.get(), error);
    if (error) {
        return std::nullopt;
    }
    taken.release();
    descriptor.non_blocking(true, error);
    return descriptor;
}

std::optional<ChildProcess::Exit> ChildProcess::waitForExit(std::chrono::milliseconds timeout) {
    return state_->waitForExit(timeout);
}

ChildProcess::Exit ChildProcess::terminate(std::chrono::milliseconds grace) {
    if (auto ended = state_->tryReap()) {
        return *ended;
    }
    state_->signal(SIGTERM);
    if (auto ended = state_->waitForExit(grace)) {
        return *ended;
    }
    state_->signal(SIGKILL);
    // SIGKILL cannot be refused, but a child stuck in the kernel dies late.
    if (auto ended = state_->waitForExit(5s)) {
        return *ended;
    }
    return Exit{};
}

void ChildProcess::removeHandlers() {
    if (std::this_thread::get_id() == watcher_.get_id()) {
        // Called from a handler, which holds handlerLock: the flag is enough.
        state_->handlersRemoved = true;
        return;
    }
    Handlers removed;
    {
        std::lock_guard lock(state_->handlerLock);
        state_->handlersRemoved = true;
        removed = std::exchange(state_->handlers, {});
    }
}

ChildProcess::~ChildProcess() {
    removeHandlers();
    if (isRunning()) {
        terminate(1s);
    }
    closeInput();
    if (std::this_thread::get_id() == watcher_.get_id()) {
        watcher_.detach();  // the thread holds the state and ends after this handler
    } else if (watcher_.joinable()) {
        watcher_.join();
    }
}

}  // namespace zoranth
