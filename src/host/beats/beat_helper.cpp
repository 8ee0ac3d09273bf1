#include "host/beats/beat_helper.h"

#include <pwd.h>
#include <unistd.h>

#include <boost/asio/buffer.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <type_traits>
#include <variant>

#include "host/host_log.h"
#include "platform/process/child_process.h"
#include "protocol/frame_encoder.h"

namespace zoranth {

using namespace std::chrono_literals;

namespace {

namespace fs = std::filesystem;

constexpr auto terminationGrace = 500ms;

std::optional<std::string> environmentValue(const char* name) {
    if (const char* value = std::getenv(name)) {
        return std::string(value);
    }
    return std::nullopt;
}

bool isExecutableFile(const std::string& path) {
    std::error_code error;
    return !path.empty() && fs::is_regular_file(path, error) && ::access(path.c_str(), X_OK) == 0;
}

bool isFile(const std::string& path) {
    std::error_code error;
    return fs::is_regular_file(path, error);
}

}  // namespace

// The helper's input pipe and the records waiting for it; touched only on the
// writer queue, and kept alive by the writes in flight.
struct BeatHelper::Input {
    explicit Input(boost::asio::posix::stream_descriptor pipe) : descriptor(std::move(pipe)) {}

    boost::asio::posix::stream_descriptor descriptor;
    std::deque<std::vector<std::uint8_t>> records;
    bool writing = false;

    // One write in flight at a time, so a slow helper holds records here (bounded by
    // the owner's back-pressure) instead of blocking a queue thread on the pipe.
    static void writeNext(const std::shared_ptr<Input>& input, std::weak_ptr<BeatHelper> owner) {
        if (input->writing || input->records.empty()) {
            return;
        }
        input->writing = true;
        boost::asio::async_write(input->descriptor, boost::asio::buffer(input->records.front()),
                                 [input, owner](const boost::system::error_code&, std::size_t) {
                                     // A write error is ignored: the exit handler reports a helper
                                     // that has gone, and its records are simply let go.
                                     input->records.pop_front();
                                     input->writing = false;
                                     if (auto helper = owner.lock()) {
                                         helper->written();
                                     }
                                     writeNext(input, std::move(owner));
                                 });
    }
};

BeatHelper::Environment BeatHelper::Environment::current() {
    Environment environment;
    environment.beatPython = environmentValue("ZORANTH_BEAT_PYTHON");
    environment.xdgDataHome = environmentValue("XDG_DATA_HOME");
    environment.home = environmentValue("HOME");
    if (!environment.home) {
        if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_dir) {
            environment.home = std::string(entry->pw_dir);
        }
    }
    std::error_code error;
    const fs::path executable = fs::read_symlink("/proc/self/exe", error);
    if (!error) {
        environment.executableFolder = executable.parent_path().string();
    }
    const fs::path working = fs::current_path(error);
    if (!error) {
        environment.workingFolder = working.string();
    }
    return environment;
}

std::string BeatHelper::interpreterPath(const Environment& environment) {
    if (environment.beatPython) {
        return *environment.beatPython;
    }
    // Relative XDG folders are invalid and ignored, as the XDG rules say.
    fs::path dataHome;
    if (environment.xdgDataHome && fs::path(*environment.xdgDataHome).is_absolute()) {
        dataHome = *environment.xdgDataHome;
    } else if (environment.home && !environment.home->empty()) {
        dataHome = fs::path(*environment.home) / ".local/share";
    } else {
        return {};
    }
    return (dataHome / "zoranth/beat-venv/bin/python").string();
}

std::vector<std::string> BeatHelper::scriptCandidates(const Environment& environment) {
    std::vector<std::string> candidates;
    if (!environment.executableFolder.empty()) {
        const fs::path installed = fs::path(environment.executableFolder) /
                                   "../share/zoranth/Tools/beat-helper/beat_helper.py";
        candidates.push_back(installed.lexically_normal().string());
    }
    if (!environment.workingFolder.empty()) {
        candidates.push_back(
            (fs::path(environment.workingFolder) / "Tools/beat-helper/beat_helper.py").string());
    }
    return candidates;
}

std::optional<BeatHelper::Location> BeatHelper::locate() {
    return locate(Environment::current());
}

std::optional<BeatHelper::Location> BeatHelper::locate(const Environment& environment) {
    const std::string python = interpreterPath(environment);
    if (!isExecutableFile(python)) {
        return std::nullopt;
    }
    for (const std::string& script : scriptCandidates(environment)) {
        if (isFile(script)) {
            return Location{python, script};
        }
    }
    return std::nullopt;
}

BeatHelper::BeatHelper() : writer_(std::string(writerLabel)) {}

std::expected<std::shared_ptr<BeatHelper>, BeatHelper::StartError> BeatHelper::start() {
    const auto location = locate();
    if (!location) {
        return std::unexpected(StartError{StartError::Case::notInstalled, {}});
    }
    return start(*location);
}

std::expected<std::shared_ptr<BeatHelper>, BeatHelper::StartError> BeatHelper::start(
    const Location& location) {
    auto helper = std::make_shared<BeatHelper>();
    const std::weak_ptr<BeatHelper> weak = helper;
    ChildProcess::Handlers handlers{
        .output =
            [weak](std::span<const std::uint8_t> bytes) {
                if (auto owner = weak.lock()) {
                    owner->consume(bytes);
                }
            },
        .exit =
            [weak](ChildProcess::Exit ended) {
                if (auto owner = weak.lock()) {
                    owner->exited(ended.status());
                }
            },
    };
    // Alive before the launch, so that a helper ending at once is not taken for alive.
    {
        std::lock_guard lock(helper->lock_);
        helper->alive_ = true;
    }
    const auto failed = [&](const std::string& description) {
        HostLog::line("beat helper: could not start (" + description + ")");
        return std::unexpected(StartError{StartError::Case::couldNotStart, description});
    };
    auto process = ChildProcess::launch(
        {
            .executable = location.python,
            .arguments = {"-u", location.script},
            .input = ChildProcess::Stream::pipe,
            .output = ChildProcess::Stream::pipe,
            .error = ChildProcess::Stream::null,
            .environment = {},
            .threadName = "zoranth-beathelp",
        },
        std::move(handlers));
    if (!process) {
        return failed(process.error().text());
    }
    helper->process_ = std::move(*process);
    auto input = helper->process_->takeInput(helper->writer_.executor());
    if (!input) {
        return failed("its input pipe cannot be written asynchronously");
    }
    helper->input_ = std::make_shared<Input>(std::move(*input));
    HostLog::line("beat helper: started (" + fs::path(location.script).filename().string() +
                  ", pid " + std::to_string(helper->process_->pid()) + ")");
    return helper;
}

BeatHelper::~BeatHelper() {
    if (process_) {
        process_->removeHandlers();
        process_->terminate(terminationGrace);
    }
    if (input_) {
        boost::asio::post(writer_.executor(), [input = std::move(input_)] {
            boost::system::error_code ignored;
            input->descriptor.close(ignored);
        });
    }
}

void BeatHelper::setOnFrame(FrameCallback callback) {
    std::lock_guard lock(lock_);
    onFrame_ = std::move(callback);
}

void BeatHelper::setOnBeat(BeatCallback callback) {
    std::lock_guard lock(lock_);
    onBeat_ = std::move(callback);
}

std::vector<std::uint8_t> BeatHelper::record(std::span<const float> interleaved, int channels,
                                             std::size_t frames, std::uint64_t hostTimeNanos) {
    // Only whole frames that are present are sent.
    const std::size_t width = channels > 0 ? static_cast<std::size_t>(channels) : 0;
    const std::uint32_t count =
        width == 0 ? 0
                   : static_cast<std::uint32_t>(std::min<std::size_t>(
                         {frames, interleaved.size() / width, UINT32_MAX / 4 - 3}));
    std::vector<std::uint8_t> bytes(12 + 4 * std::size_t{count});
    std::memcpy(bytes.data(), &hostTimeNanos, 8);
    std::memcpy(bytes.data() + 8, &count, 4);
    for (std::uint32_t frame = 0; frame < count; ++frame) {
        float sum = 0;
        for (std::size_t channel = 0; channel < width; ++channel) {
            sum += interleaved[frame * width + channel];
        }
        const float mean = sum / static_cast<float>(width);
        std::memcpy(bytes.data() + 12 + 4 * std::size_t{frame}, &mean, 4);
    }
    return bytes;
}

void BeatHelper::feed(std::span<const float> interleaved, int channels, std::size_t frames,
                      std::uint64_t hostTimeNanos) {
    {
        std::lock_guard lock(lock_);
        if (!alive_ || !ready_) {
            return;
        }
        if (pending_ > maxPending) {
            ++dropped_;
            return;
        }
        ++pending_;
    }
    boost::asio::post(writer_.executor(),
                      [input = input_, owner = weak_from_this(),
                       bytes = record(interleaved, channels, frames, hostTimeNanos)]() mutable {
                          input->records.push_back(std::move(bytes));
                          Input::writeNext(input, std::move(owner));
                      });
}

void BeatHelper::written() {
    std::lock_guard lock(lock_);
    --pending_;
}

BeatHelper::Status BeatHelper::status() const {
    std::lock_guard lock(lock_);
    return {alive_, ready_, pending_, dropped_};
}

bool BeatHelper::isProcessRunning() const {
    return process_ && process_->isRunning();
}

pid_t BeatHelper::pid() const {
    return process_ ? process_->pid() : -1;
}

void BeatHelper::stopReading() {
    if (process_) {
        process_->removeHandlers();
    }
}

void BeatHelper::terminate() {
    if (process_) {
        process_->terminate(terminationGrace);
    }
}

std::string BeatHelper::describe(std::uint8_t kind, std::uint8_t value, std::uint8_t value2) {
    return Cue{.hostTimeNanos = 0, .kind = kind, .value = value, .value2 = value2}.text();
}

void BeatHelper::consume(std::span<const std::uint8_t> bytes) {
    for (const std::string& line : partial_.append(bytes)) {
        handle(line);
    }
}

void BeatHelper::handle(const std::string& line) {
    const auto parsed = BeatLine::parse(line);
    if (!parsed) {
        return;
    }
    FrameCallback onFrame;
    BeatCallback onBeat;
    {
        std::lock_guard lock(lock_);
        onFrame = onFrame_;
        onBeat = onBeat_;
    }
    if (const auto* beat = std::get_if<Beat>(&*parsed)) {
        if (onFrame) {
            onFrame(FrameEncoder::encode(*beat));
        }
        if (onBeat) {
            onBeat(beat->hostTimeNanos);
        }
    } else if (const auto* cue = std::get_if<Cue>(&*parsed)) {
        // Energy levels come several times a second; they are sent, not logged.
        if (cue->kind != static_cast<std::uint8_t>(Cue::Kind::energy)) {
            HostLog::line("cue: " + describe(cue->kind, cue->value, cue->value2));
        }
        if (onFrame) {
            onFrame(FrameEncoder::encode(*cue));
        }
    } else if (const auto* log = std::get_if<BeatLine::Log>(&*parsed)) {
        if (log->text.starts_with(readyAnnouncement)) {
            std::lock_guard lock(lock_);
            ready_ = true;
        }
        HostLog::line("beat helper: " + log->text);
    }
}

void BeatHelper::exited(int status) {
    {
        std::lock_guard lock(lock_);
        alive_ = false;
    }
    HostLog::line("beat helper: exited (" + std::to_string(status) +
                  "); using the built-in tracker");
}

}  // namespace zoranth
