// A child process started from an executable path, with pipes to its standard
// streams: the owner writes its input (blocking, or through a Boost.Asio descriptor it
// takes over), its output (and, when asked, its standard error apart) arrives in
// chunks on the child's own watcher thread, and its exit is reported there once it
// has been reaped and its output drained. The one way this program starts any child:
// long-lived helpers through launch(), tools run to completion through run().
// Every public member may be called from any thread; handlers run on the watcher.
#pragma once

#include <sys/types.h>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>

#include <chrono>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace zoranth {

class ChildProcess {
  public:
    // How one of the child's standard streams is connected.
    enum class Stream {
        pipe,      // a pipe to this process
        null,      // the null device
        inherit,   // this process's own stream
        separate,  // standard error only: a pipe of its own, read into Handlers::error
    };

    struct Options {
        // Run as given, never searched for in PATH.
        std::string executable;
        // Without argv[0], which is the executable path.
        std::vector<std::string> arguments;
        Stream input = Stream::pipe;
        Stream output = Stream::pipe;
        // `pipe` joins standard error to the output pipe (the null device without one);
        // `separate` gives it a pipe of its own.
        Stream error = Stream::null;
        // The child leads a process group of its own, and terminate() ends the whole
        // group, so that what a tool started itself ends with it. Leave it off for a
        // child that may have to ask at this process's terminal (pkexec's text agent):
        // a background group cannot read the terminal.
        bool ownProcessGroup = false;
        // Added to (or replacing in) this process's environment, e.g. {"LC_ALL", "C"}
        // for a tool whose output is parsed.
        std::vector<std::pair<std::string, std::string>> environment;
        // The watcher thread's name, at most 15 characters.
        std::string threadName = "zoranth-child";
    };

    // How the child ended.
    struct Exit {
        enum class Case {
            exited,    // code: its exit status
            signaled,  // code: the signal that ended it
            unknown,   // somebody else reaped it (SIGCHLD ignored); code -1
        };
        Case kind = Case::unknown;
        int code = -1;

        // The exit status, or the signal number for a child ended by a signal.
        int status() const { return code; }
        // "exit status 3", "signal 15", "unknown"
        std::string text() const;
        friend bool operator==(const Exit&, const Exit&) = default;
    };

    struct Failure {
        enum class Case {
            pipeFailed,   // error: errno of pipe2 or open
            spawnFailed,  // error: errno of the spawn (ENOENT, EACCES, ENOEXEC…)
        };
        Case kind = Case::spawnFailed;
        std::string executable;
        int error = 0;

        // "/usr/bin/tool: No such file or directory"
        std::string text() const;
        friend bool operator==(const Failure&, const Failure&) = default;
    };

    struct Handlers {
        // Each chunk read from the child's standard output, in order.
        std::function<void(std::span<const std::uint8_t>)> output;
        // Once, after the child has been reaped and its remaining output delivered.
        std::function<void(Exit)> exit;
        // Each chunk read from its standard error, with `Stream::separate`.
        std::function<void(std::span<const std::uint8_t>)> error = {};
    };

    // A finished run of a tool: what it printed and how it ended.
    struct Completed {
        std::string output;
        std::string errors;  // standard error, with `Stream::separate`
        Exit exit;
        bool timedOut = false;  // it was terminated after the timeout
    };

    // What run() keeps of each stream; the rest is read and dropped.
    static constexpr std::size_t collectLimit = 8u << 20;

    // Starts the child. The child gets default signal handling and an empty signal
    // mask whatever this process has, and inherits no descriptor beyond 0, 1 and 2.
    // With an input pipe, SIGPIPE is set to ignored in this process (unless it has a
    // handler) so that writing to a child that has gone fails with EPIPE instead.
    static std::expected<std::shared_ptr<ChildProcess>, Failure> launch(Options options,
                                                                        Handlers handlers);

    // Runs a tool to completion with its input on the null device, collecting its
    // standard output (and standard error, when separate); after `timeout` it is
    // terminated (SIGTERM, SIGKILL 1 s later). Without a timeout it may take as long
    // as it likes, a password prompt included.
    static std::expected<Completed, Failure> run(Options options,
                                                 std::optional<std::chrono::milliseconds> timeout);

    pid_t pid() const;
    // Not yet reaped. Reaps a child that has ended, so the answer is current.
    bool isRunning() const;
    std::optional<Exit> exit() const;

    // Writes all bytes to the input pipe, blocking while it is full. Fails with
    // errno: EPIPE once the child has closed its input, EBADF without an input pipe.
    std::expected<void, int> write(std::span<const std::uint8_t> bytes);
    // Closes the input pipe: the child reads end of file.
    void closeInput();
    // Hands the input pipe's write end over as a non-blocking descriptor on the
    // caller's executor, for asynchronous writes; absent without an input pipe or
    // when it was already taken or closed.
    std::optional<boost::asio::posix::stream_descriptor> takeInput(
        const boost::asio::any_io_executor& executor);

    // Waits until the child has ended, at most `timeout`.
    std::optional<Exit> waitForExit(std::chrono::milliseconds timeout);
    // Asks the child to end (SIGTERM), forces it (SIGKILL) after `grace`, and returns
    // how it ended; with its own process group, the group is signalled. A child
    // already gone is only reaped.
    Exit terminate(std::chrono::milliseconds grace);

    // No handler runs after this returns, except one that is itself calling it.
    void removeHandlers();

    // Removes the handlers, terminates a running child (1 s grace) and stops the
    // watcher thread; called on the watcher thread it leaves the thread to finish.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    struct State;
    ChildProcess(std::shared_ptr<State> state, std::thread watcher);

  private:
    std::shared_ptr<State> state_;
    std::thread watcher_;
};

}  // namespace zoranth
