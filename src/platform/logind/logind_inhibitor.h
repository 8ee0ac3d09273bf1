// Takes a logind inhibitor lock over D-Bus: Inhibit(what, who, why, mode) on the
// login manager answers with a descriptor, and holding that descriptor is holding
// the lock; closing it releases. Any thread; each call uses its own bus connection.
#pragma once

#include <chrono>
#include <expected>
#include <string>

namespace zoranth {

class LogindInhibitor {
  public:
    struct Request {
        std::string what;  // "idle:sleep"
        std::string who;   // shown by the system as the lock's owner
        std::string why;   // shown by the system as the reason
        std::string mode;  // "block" or "delay"
    };

    struct Failure {
        enum class Case {
            noBus,      // the bus cannot be reached (no system bus on this machine)
            noLogind,   // the bus has no login manager on it
            refused,    // the login manager answered with an error (policy, bad request)
            badAnswer,  // the answer carried no usable descriptor
        };
        Case kind;
        int error;           // errno (negated sd-bus codes turned positive); 0 when none
        std::string detail;  // the D-Bus error name and message, or the system's text
        // One lower-case line saying why no lock is held.
        std::string text() const;
        friend bool operator==(const Failure&, const Failure&) = default;
    };

    // One held lock: move-only; destruction or release() closes the descriptor.
    class Inhibition {
      public:
        Inhibition() = default;
        explicit Inhibition(int descriptor) : descriptor_(descriptor) {}
        Inhibition(Inhibition&& other) noexcept;
        Inhibition& operator=(Inhibition&& other) noexcept;
        Inhibition(const Inhibition&) = delete;
        Inhibition& operator=(const Inhibition&) = delete;
        ~Inhibition();

        bool isHeld() const { return descriptor_ >= 0; }
        void release();

      private:
        int descriptor_ = -1;
    };

    static constexpr std::chrono::milliseconds defaultTimeout{3000};

    // Asks the login manager on the system bus ($DBUS_SYSTEM_BUS_ADDRESS when set), or
    // on the bus at busAddress when one is given ("unix:path=…").
    static std::expected<Inhibition, Failure> inhibit(
        const Request& request, const std::string& busAddress = {},
        std::chrono::milliseconds timeout = defaultTimeout);
};

}  // namespace zoranth
