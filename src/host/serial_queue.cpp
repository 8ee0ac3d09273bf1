#include "host/serial_queue.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include <pthread.h>

#include <future>
#include <thread>
#include <vector>

namespace zoranth {
namespace {

// The pool lives for the whole process; its destructor stops the context and
// joins the threads at exit so no queue work runs during static destruction.
class IoPool {
  public:
    IoPool() : guard_(boost::asio::make_work_guard(context_)) {
        const unsigned count = std::max(2u, std::min(4u, std::thread::hardware_concurrency()));
        for (unsigned i = 0; i < count; ++i) {
            threads_.emplace_back([this] {
                pthread_setname_np(pthread_self(), "zoranth-queue");
                context_.run();
            });
        }
    }
    ~IoPool() {
        guard_.reset();
        context_.stop();
        for (std::thread& thread : threads_) {
            thread.join();
        }
    }
    boost::asio::io_context& context() { return context_; }

  private:
    boost::asio::io_context context_;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> guard_;
    std::vector<std::thread> threads_;
};

}  // namespace

boost::asio::io_context& SerialQueue::context() {
    static IoPool pool;
    return pool.context();
}

SerialQueue::SerialQueue(std::string label)
    : label_(std::move(label)), strand_(boost::asio::make_strand(context())) {}

SerialQueue::SerialQueue(std::string label, Executor strand)
    : label_(std::move(label)), strand_(std::move(strand)) {}

void SerialQueue::post(std::function<void()> work) {
    boost::asio::post(strand_, std::move(work));
}

void SerialQueue::postAfter(std::chrono::nanoseconds delay, std::function<void()> work) {
    auto timer = std::make_shared<boost::asio::steady_timer>(strand_, delay);
    timer->async_wait([timer, work = std::move(work)](const boost::system::error_code& error) {
        if (!error) {
            work();
        }
    });
}

void SerialQueue::sync(const std::function<void()>& work) {
    std::promise<void> done;
    post([&] {
        work();
        done.set_value();
    });
    done.get_future().wait();
}

bool SerialQueue::isCurrent() const {
    return strand_.running_in_this_thread();
}

}  // namespace zoranth
