// Work for a thread without an event loop of its own (the terminal modes, the session's
// tests): any thread posts, the thread that owns the queue runs what was posted when it
// drains it. Posting after the queue is gone drops the work.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

namespace zoranth {

class MainQueue {
  public:
    using Work = std::function<void()>;

    MainQueue();
    ~MainQueue();
    MainQueue(const MainQueue&) = delete;
    MainQueue& operator=(const MainQueue&) = delete;

    // Any thread.
    void post(Work work);
    // A poster for others to keep: it outlives the queue harmlessly.
    std::function<void(Work)> poster() const;
    // The owning thread: runs posted work as it arrives until `duration` has passed.
    void runFor(std::chrono::steady_clock::duration duration);
    // The owning thread: runs posted work as it arrives until `done` holds (checked after
    // each batch) or `timeout` has passed; gives whether it holds.
    bool runUntil(const std::function<bool()>& done, std::chrono::steady_clock::duration timeout);

  private:
    // Waits until work is queued or the deadline passes, then runs what is queued.
    void runOnce(std::chrono::steady_clock::time_point deadline);

    struct Shared {
        std::mutex lock;  // everything below
        std::condition_variable posted;
        std::deque<Work> work;
        bool closed = false;
    };
    const std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
};

}  // namespace zoranth
