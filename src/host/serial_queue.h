// A named serial queue: work posted to it runs one item at a time, in order, on
// a small process-wide pool of threads (a Boost.Asio strand over one io_context).
// The server, every guest connection and every other named queue is one.
// Callable from any thread; never from the realtime capture callback.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/strand.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace zoranth {

class SerialQueue {
  public:
    using Executor = boost::asio::strand<boost::asio::io_context::executor_type>;

    explicit SerialQueue(std::string label);
    // A queue over a strand made earlier, on which sockets already run (a guest's
    // connection adopts the strand its socket was accepted on).
    SerialQueue(std::string label, Executor strand);

    // Runs work later on this queue; returns at once.
    void post(std::function<void()> work);

    // Runs work on this queue after the delay.
    void postAfter(std::chrono::nanoseconds delay, std::function<void()> work);

    // Runs work on this queue and waits for it; must not be called from this queue.
    void sync(const std::function<void()>& work);

    // Whether the calling thread is running this queue's work right now.
    bool isCurrent() const;

    const std::string& label() const { return label_; }
    Executor& executor() { return strand_; }

    // The process-wide context every queue (and every socket) runs on.
    static boost::asio::io_context& context();

  private:
    std::string label_;
    Executor strand_;
};

}  // namespace zoranth
