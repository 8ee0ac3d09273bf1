// Runs the external beat helper (a Python script) as a child process: streams
// captured audio to it as records on its standard input, and turns the "B", "C"
// and "L" lines it prints into Beat and Cue frames and log lines.
// feed() comes from one producer (the sender thread or the beats-mode loop);
// the rest from any thread. Callbacks run on the helper's output thread.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "host/beats/beat_line.h"
#include "host/serial_queue.h"

namespace zoranth {

class ChildProcess;

class BeatHelper : public std::enable_shared_from_this<BeatHelper> {
  public:
    // Where the helper lives: the interpreter and the script it runs.
    struct Location {
        std::string python;
        std::string script;
        friend bool operator==(const Location&, const Location&) = default;
    };

    // What locate() looks at, gathered so that the rule can be checked on its own.
    struct Environment {
        std::optional<std::string> beatPython;   // ZORANTH_BEAT_PYTHON
        std::optional<std::string> xdgDataHome;  // XDG_DATA_HOME
        std::optional<std::string> home;         // HOME
        std::string executableFolder;            // the folder holding this executable
        std::string workingFolder;

        static Environment current();
    };

    struct StartError {
        enum class Case {
            notInstalled,   // no interpreter or no script
            couldNotStart,  // description: why the launch failed
        };
        Case kind = Case::notInstalled;
        std::string description;
        friend bool operator==(const StartError&, const StartError&) = default;
    };

    // The counters and flags the owner reads, taken together under the lock.
    struct Status {
        bool alive = false;  // launched and not yet ended
        bool ready = false;  // announced readiness: audio is sent from then on
        std::int64_t pending = 0;
        std::int64_t dropped = 0;  // blocks refused by back-pressure
        friend bool operator==(const Status&, const Status&) = default;
    };

    using FrameCallback = std::function<void(std::vector<std::uint8_t> frame)>;
    using BeatCallback = std::function<void(std::uint64_t hostTimeNanos)>;

    // Blocks handed to the writer and not yet written beyond which feed() drops.
    static constexpr std::int64_t maxPending = 150;
    static constexpr std::string_view writerLabel = "zoranth.beat-helper.write";
    // The "L" text with which the helper says it is ready for audio.
    static constexpr std::string_view readyAnnouncement = "Beat This! ready";

    // The interpreter is ZORANTH_BEAT_PYTHON when set, otherwise the per-user
    // virtual environment's "$XDG_DATA_HOME/zoranth/beat-venv/bin/python" (by
    // default under ~/.local/share). The script is the installed
    // "<executable folder>/../share/zoranth/Tools/beat-helper/beat_helper.py", else
    // "Tools/beat-helper/beat_helper.py" under the working folder.
    static std::optional<Location> locate();
    static std::optional<Location> locate(const Environment& environment);
    static std::string interpreterPath(const Environment& environment);
    static std::vector<std::string> scriptCandidates(const Environment& environment);

    // Locates the helper and starts it; logs "beat helper: started (…)" or
    // "beat helper: could not start (…)". Nothing is logged when it is not installed.
    static std::expected<std::shared_ptr<BeatHelper>, StartError> start();
    static std::expected<std::shared_ptr<BeatHelper>, StartError> start(const Location& location);

    // Each Beat or Cue frame (the whole encoded frame) the helper's lines produce.
    void setOnFrame(FrameCallback callback);
    // The host time of each beat.
    void setOnBeat(BeatCallback callback);

    // Hands one block of interleaved float PCM, whose first frame was captured at
    // hostTimeNanos, to the helper as one mono record. Never waits on the pipe: does
    // nothing until the helper is alive and ready, and drops the block (counting it)
    // while more than maxPending blocks wait to be written.
    void feed(std::span<const float> interleaved, int channels, std::size_t frames,
              std::uint64_t hostTimeNanos);

    Status status() const;
    bool isProcessRunning() const;
    pid_t pid() const;

    // Stops handling the helper's output: no callback runs after this returns.
    void stopReading();
    // Ends the helper if it still runs (SIGTERM, then SIGKILL after a grace period).
    void terminate();

    // The text of a cue as the host logs it: "drop (intensity 3)", "chord Dm"…
    static std::string describe(std::uint8_t kind, std::uint8_t value, std::uint8_t value2);

    // One record of the helper's input, in this machine's byte order: the host time
    // (u64), the frame count (u32), then per frame the mean of its channels (f32).
    static std::vector<std::uint8_t> record(std::span<const float> interleaved, int channels,
                                            std::size_t frames, std::uint64_t hostTimeNanos);

    // Stops reading and terminates the helper if it still runs.
    ~BeatHelper();
    BeatHelper(const BeatHelper&) = delete;
    BeatHelper& operator=(const BeatHelper&) = delete;

    struct Input;
    BeatHelper();

  private:
    void consume(std::span<const std::uint8_t> bytes);
    void handle(const std::string& line);
    void exited(int status);
    void written();

    SerialQueue writer_;
    std::shared_ptr<Input> input_;  // touched only on writer_
    std::shared_ptr<ChildProcess> process_;
    BeatLine::Splitter partial_;  // the output thread's only

    mutable std::mutex lock_;  // guards everything below
    std::int64_t pending_ = 0;
    std::int64_t dropped_ = 0;
    bool alive_ = false;
    bool ready_ = false;
    FrameCallback onFrame_;
    BeatCallback onBeat_;
};

}  // namespace zoranth
