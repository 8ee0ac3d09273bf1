#include "host/session/main_queue.h"

#include <algorithm>

namespace zoranth {
namespace {

template <class Shared>
void postTo(Shared& shared, MainQueue::Work work) {
    {
        std::lock_guard guard(shared.lock);
        if (shared.closed) {
            return;
        }
        shared.work.push_back(std::move(work));
    }
    shared.posted.notify_one();
}

}  // namespace

MainQueue::MainQueue() = default;

MainQueue::~MainQueue() {
    std::deque<Work> dropped;
    {
        std::lock_guard guard(shared_->lock);
        shared_->closed = true;
        dropped.swap(shared_->work);
    }
    // Dropped outside the lock: the work's captures may post on their way out.
}

void MainQueue::post(Work work) {
    postTo(*shared_, std::move(work));
}

std::function<void(MainQueue::Work)> MainQueue::poster() const {
    return [weak = std::weak_ptr(shared_)](Work work) {
        if (const auto shared = weak.lock()) {
            postTo(*shared, std::move(work));
        }
    };
}

void MainQueue::runOnce(std::chrono::steady_clock::time_point deadline) {
    std::deque<Work> ready;
    {
        std::unique_lock guard(shared_->lock);
        shared_->posted.wait_until(guard, deadline, [&] { return !shared_->work.empty(); });
        ready.swap(shared_->work);
    }
    for (Work& work : ready) {
        work();
    }
}

void MainQueue::runFor(std::chrono::steady_clock::duration duration) {
    const auto deadline = std::chrono::steady_clock::now() + duration;
    do {
        runOnce(deadline);
    } while (std::chrono::steady_clock::now() < deadline);
}

bool MainQueue::runUntil(const std::function<bool()>& done,
                         std::chrono::steady_clock::duration timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        runOnce(
            std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(20)));
    }
    return true;
}

}  // namespace zoranth
