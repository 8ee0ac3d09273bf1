#include "cli/beats_command.h"

#include <sndfile.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include "host/beats/beat_helper.h"
#include "kit/beat_tracker.h"
#include "protocol/frame_decoder.h"

namespace zoranth {
namespace {

using namespace std::chrono_literals;

constexpr sf_count_t blockFrames = 960;

struct SoundFile {
    SF_INFO info{};
    std::unique_ptr<SNDFILE, int (*)(SNDFILE*)> handle{nullptr, sf_close};

    static std::optional<SoundFile> open(const std::string& path) {
        SoundFile file;
        file.handle.reset(sf_open(path.c_str(), SFM_READ, &file.info));
        if (!file.handle || file.info.channels < 1 || file.info.samplerate < 1) {
            return std::nullopt;
        }
        return file;
    }

    // Room for one block of every channel; empty when it cannot be had.
    std::vector<float> blockBuffer() const {
        std::vector<float> buffer;
        try {
            buffer.resize(static_cast<std::size_t>(blockFrames) *
                          static_cast<std::size_t>(info.channels));
        } catch (const std::bad_alloc&) {
            buffer.clear();
        }
        return buffer;
    }

    // Reads the file block by block as float PCM and hands each block over with the
    // time of its first frame on the file's own time line, which starts at 0. A
    // read error ends the file like its end does.
    template <class Block>
    void readBlocks(std::vector<float>& buffer, Block&& block) {
        std::uint64_t framesBefore = 0;
        for (;;) {
            const sf_count_t frames = sf_readf_float(handle.get(), buffer.data(), blockFrames);
            if (frames <= 0) {
                return;
            }
            const auto hostTimeNanos = static_cast<std::uint64_t>(
                static_cast<double>(framesBefore) / info.samplerate * 1e9);
            const auto count = static_cast<std::size_t>(frames);
            block(std::span<const float>(buffer.data(), count * info.channels), count,
                  hostTimeNanos);
            framesBefore += count;
        }
    }
};

double seconds(std::uint64_t hostTimeNanos) {
    return static_cast<double>(hostTimeNanos) / 1e9;
}

// Collects the helper's frames from its output thread.
struct FrameBox {
    std::mutex lock;
    std::vector<std::vector<std::uint8_t>> frames;
};

// Waits for the helper's readiness, checking every 100 ms for at most a minute;
// a helper that has already ended will not become ready, so waiting stops.
void waitForReadiness(const BeatHelper& helper) {
    for (int check = 0; check < 600; ++check) {
        const BeatHelper::Status status = helper.status();
        if (!status.alive || status.ready) {
            return;
        }
        std::this_thread::sleep_for(100ms);
    }
}

void printHelperFrames(const std::vector<std::vector<std::uint8_t>>& frames, std::int64_t dropped) {
    FrameDecoder decoder(65536);
    for (const auto& frame : frames) {
        decoder.append(frame);
    }
    int beats = 0;
    int downbeats = 0;
    for (;;) {
        auto next = decoder.next();
        if (!next || !*next) {
            break;
        }
        if (const Beat* beat = (*next)->as<Beat>()) {
            ++beats;
            downbeats += beat->isDownbeat ? 1 : 0;
            std::printf("B %.3f %d %d %.2f %d\n", seconds(beat->hostTimeNanos),
                        beat->isDownbeat ? 1 : 0, beat->beatInBar, beat->bpmCenti / 100.0,
                        beat->confidence);
        } else if (const Cue* cue = (*next)->as<Cue>()) {
            std::printf("C %.3f %s\n", seconds(cue->hostTimeNanos),
                        BeatHelper::describe(cue->kind, cue->value, cue->value2).c_str());
        }
    }
    std::printf("# %d beats, %d downbeats, %lld chunks dropped\n", beats, downbeats,
                static_cast<long long>(dropped));
}

}  // namespace

int BeatsCommand::run(const std::string& path) {
    auto file = SoundFile::open(path);
    if (!file) {
        std::printf("could not open %s\n", path.c_str());
        return 1;
    }
    std::vector<float> buffer = file->blockBuffer();
    if (buffer.empty()) {
        return 1;
    }
    BeatTracker tracker(file->info.samplerate);
    std::printf("# seconds  beatInBar  bpm  confidence\n");
    file->readBlocks(
        buffer, [&](std::span<const float> block, std::size_t frames, std::uint64_t hostTimeNanos) {
            for (const BeatTracker::Beat& beat :
                 tracker.process(block, file->info.channels, frames, hostTimeNanos)) {
                std::printf("%.3f  %d  %.2f  %.2f\n", seconds(beat.hostTimeNanos), beat.beatInBar,
                            beat.bpm, beat.confidence);
            }
        });
    std::printf("# tempo %.2f BPM, confidence %.2f, %d beats\n", tracker.bpm().value_or(0.0),
                tracker.confidence(), static_cast<int>(tracker.emitted()));
    std::fflush(stdout);
    return 0;
}

int BeatsCommand::runHelper(const std::string& path) {
    auto file = SoundFile::open(path);
    if (!file) {
        std::printf("no file or no helper\n");
        return 1;
    }
    auto helper = BeatHelper::start();
    if (!helper) {
        std::printf("no file or no helper\n");
        return 1;
    }
    std::vector<float> buffer = file->blockBuffer();
    if (buffer.empty()) {
        return 1;
    }
    auto box = std::make_shared<FrameBox>();
    (*helper)->setOnFrame([box](std::vector<std::uint8_t> frame) {
        std::lock_guard lock(box->lock);
        box->frames.push_back(std::move(frame));
    });

    waitForReadiness(**helper);
    // Blocks fed before readiness are ignored by the helper, not counted as dropped.
    file->readBlocks(
        buffer, [&](std::span<const float> block, std::size_t frames, std::uint64_t hostTimeNanos) {
            (*helper)->feed(block, file->info.channels, frames, hostTimeNanos);
            std::this_thread::sleep_for(10ms);  // paced roughly like live audio
        });
    std::this_thread::sleep_for(3s);  // the helper finishes its last blocks
    (*helper)->stopReading();
    (*helper)->terminate();

    std::vector<std::vector<std::uint8_t>> frames;
    {
        std::lock_guard lock(box->lock);
        frames = std::move(box->frames);
    }
    printHelperFrames(frames, (*helper)->status().dropped);
    std::fflush(stdout);
    return 0;
}

}  // namespace zoranth
