// Registers services with the real avahi-daemon of the test services (loopback only)
// and looks for them with avahi-browse, as a guest's resolver would.
#include "platform/avahi/service_registration.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>
#include "support/avahi_browse.h"

namespace zoranth {

// Readable failures for the event variant.
void PrintTo(const ServiceRegistration::Established& established, std::ostream* out) {
    *out << "Established{" << established.name << "}";
}

void PrintTo(const ServiceRegistration::Failure& failure, std::ostream* out) {
    *out << "Failure{case " << static_cast<int>(failure.kind) << ", " << failure.code << " " << failure.text << "}";
}

}  // namespace zoranth

namespace {

using namespace std::chrono_literals;
using zoranth::ServiceRegistration;
using Event = ServiceRegistration::Event;
using Established = ServiceRegistration::Established;
using Failure = ServiceRegistration::Failure;

constexpr auto patience = 10s;

// Every event a registration reports, in order, with a wait for the next one.
class Events {
public:
    ServiceRegistration::Handler handler() {
        return [this](const Event& event) {
            std::lock_guard guard(lock_);
            events_.push_back(event);
            changed_.notify_all();
        };
    }

    std::optional<Event> waitForEvent(std::size_t index = 0) {
        std::unique_lock guard(lock_);
        if (!changed_.wait_for(guard, patience, [&] { return events_.size() > index; })) {
            return std::nullopt;
        }
        return events_[index];
    }

    std::size_t count() {
        std::lock_guard guard(lock_);
        return events_.size();
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<Event> events_;
};

using Browsed = zoranth::BrowsedService;
using zoranth::avahiFind;

std::optional<Browsed> waitUntilListed(const std::string& type, const std::string& name) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    do {
        if (auto found = avahiFind(type, name)) {
            return found;
        }
        std::this_thread::sleep_for(100ms);
    } while (std::chrono::steady_clock::now() < deadline);
    return std::nullopt;
}

bool waitUntilGone(const std::string& type, const std::string& name) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    do {
        if (!avahiFind(type, name)) {
            return true;
        }
        std::this_thread::sleep_for(100ms);
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

std::string uniqueName(const std::string& base) { return base + " " + std::to_string(::getpid()); }

class AvahiRegistration : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::getenv("ZORANTH_TEST_SERVICES") == nullptr) {
            GTEST_SKIP() << "needs the test services: eval \"$(scripts/test-services start)\"";
        }
    }
};

TEST_F(AvahiRegistration, AGuestFindsTheServiceUnderItsNameAndPortUntilItIsDestroyed) {
    const std::string name = uniqueName("Zoranth Rave \xC3\xA9t\xC3\xA9");
    Events events;
    auto registration = ServiceRegistration::start({"_zoranth._tcp", name, 47123}, events.handler());
    ASSERT_TRUE(registration.has_value());

    const auto event = events.waitForEvent();
    ASSERT_TRUE(event.has_value());
    EXPECT_EQ(*event, Event(Established{name}));
    EXPECT_EQ((*registration)->establishedName(), name);

    const auto listed = waitUntilListed("_zoranth._tcp", name);
    ASSERT_TRUE(listed.has_value()) << "avahi-browse does not list " << name;
    EXPECT_EQ(listed->port, 47123);

    registration->reset();
    EXPECT_TRUE(waitUntilGone("_zoranth._tcp", name)) << "still advertised after destruction";
}

TEST_F(AvahiRegistration, ASecondServiceUnderTheSameNameTakesAvahisAlternative) {
    const std::string name = uniqueName("Zoranth Twin");
    Events first;
    Events second;
    auto one = ServiceRegistration::start({"_zoranth._tcp", name, 47124}, first.handler());
    ASSERT_TRUE(one.has_value());
    ASSERT_EQ(first.waitForEvent(), Event(Established{name}));

    auto two = ServiceRegistration::start({"_zoranth._tcp", name, 47125}, second.handler());
    ASSERT_TRUE(two.has_value());
    const std::string alternative = name + " #2";
    EXPECT_EQ(second.waitForEvent(), Event(Established{alternative}));
    EXPECT_EQ((*two)->establishedName(), alternative);
    EXPECT_EQ((*one)->establishedName(), name);

    const auto listed = waitUntilListed("_zoranth._tcp", alternative);
    ASSERT_TRUE(listed.has_value());
    EXPECT_EQ(listed->port, 47125);
    EXPECT_EQ(avahiFind("_zoranth._tcp", name).value_or(Browsed{}).port, 47124);
}

TEST_F(AvahiRegistration, AnEmptyNameAdvertisesUnderTheComputersName) {
    Events events;
    auto registration = ServiceRegistration::start({"_zoranthcheck._tcp", "", 47126}, events.handler());
    ASSERT_TRUE(registration.has_value());
    const auto event = events.waitForEvent();
    ASSERT_TRUE(event.has_value());
    const auto* established = std::get_if<Established>(&*event);
    ASSERT_NE(established, nullptr);

    const auto listed = waitUntilListed("_zoranthcheck._tcp", established->name);
    ASSERT_TRUE(listed.has_value());
    // The service carries the machine's own mDNS host name ("vm" on host "vm.local").
    EXPECT_EQ(listed->host, established->name + ".local");
}

// The self-test lets go of its registration as soon as it is confirmed, from inside
// the handler; the service must still be withdrawn and nothing may touch freed memory.
TEST_F(AvahiRegistration, ReleasedInsideItsOwnHandlerItIsWithdrawn) {
    const std::string name = uniqueName("Zoranth Self Test");
    std::mutex lock;
    std::condition_variable released;
    std::shared_ptr<ServiceRegistration> held;
    bool done = false;
    // Held across start() so that the handler cannot run before `held` is set.
    std::unique_lock guard(lock);
    auto registration = ServiceRegistration::start({"_zoranthcheck._tcp", name, 47127}, [&](const Event& event) {
        std::lock_guard inside(lock);
        if (std::holds_alternative<Established>(event) && held) {
            held.reset();
            done = true;
            released.notify_all();
        }
    });
    ASSERT_TRUE(registration.has_value());
    held = std::move(*registration);
    ASSERT_TRUE(released.wait_for(guard, patience, [&] { return done; }));
    guard.unlock();
    EXPECT_TRUE(waitUntilGone("_zoranthcheck._tcp", name));
}

// A missing daemon is told apart by pointing the client at another D-Bus address.
// libdbus reads the address once per process, so each case runs in a fresh process
// (a death test re-executes this binary), never touching the shared daemon.
int registerExpectingMissingDaemon(const std::string& address) {
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
    Events events;
    auto registration = ServiceRegistration::start({"_zoranth._tcp", "Nobody Hears", 47128}, events.handler());
    if (!registration) {
        std::cerr << "start failed: " << registration.error().text;
        return 2;
    }
    const auto event = events.waitForEvent();
    const auto* failure = event ? std::get_if<Failure>(&*event) : nullptr;
    if (failure == nullptr || failure->kind != Failure::Case::daemonMissing) {
        std::cerr << "no missing-daemon report";
        return 3;
    }
    if ((*registration)->establishedName().has_value()) {
        std::cerr << "a name while the daemon is missing";
        return 4;
    }
    std::cerr << "reported: " << failure->text;
    std::this_thread::sleep_for(300ms);  // still waiting, and quietly: one report only
    return events.count() == 1 ? 0 : 5;
}

class PrivateBus {
public:
    explicit PrivateBus(const std::filesystem::path& folder) : folder_(folder), socket_(folder / "bus") {
        std::filesystem::create_directories(folder);
        const std::string command = "dbus-daemon --session --nopidfile --fork --print-pid --address=unix:path=" +
                                    socket_.string();
        FILE* pipe = ::popen(command.c_str(), "r");
        if (pipe != nullptr && std::fscanf(pipe, "%d", &pid_) != 1) {
            pid_ = -1;
        }
        if (pipe != nullptr) {
            ::pclose(pipe);
        }
    }
    ~PrivateBus() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
        }
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
    bool running() const { return pid_ > 0; }
    std::string address() const { return "unix:path=" + socket_.string(); }

private:
    std::filesystem::path folder_;
    std::filesystem::path socket_;
    int pid_ = -1;
};

int missingDaemonOnABusWithoutAvahi() {
    PrivateBus bus(std::filesystem::temp_directory_path() / ("zoranth-bus-" + std::to_string(::getpid())));
    if (!bus.running()) {
        std::cerr << "could not start a private bus";
        return 6;
    }
    return registerExpectingMissingDaemon(bus.address());
}

class AvahiMissingDaemon : public AvahiRegistration {
protected:
    void SetUp() override {
        AvahiRegistration::SetUp();
        GTEST_FLAG_SET(death_test_style, "threadsafe");
    }
};

TEST_F(AvahiMissingDaemon, NoSystemBusAtAllLeavesTheNameAbsent) {
    EXPECT_EXIT(std::_Exit(registerExpectingMissingDaemon("unix:path=/nonexistent/zoranth/bus")),
                ::testing::ExitedWithCode(0), "reported: ");
}

TEST_F(AvahiMissingDaemon, ABusWithoutTheDaemonLeavesTheNameAbsent) {
    EXPECT_EXIT(std::_Exit(missingDaemonOnABusWithoutAvahi()), ::testing::ExitedWithCode(0),
                "reported: Daemon not running");
}

}  // namespace
