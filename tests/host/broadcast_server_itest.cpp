// The broadcast server advertising a rave through the loopback-only avahi-daemon of
// the test services, found with avahi-browse as a guest's resolver would find it.
#include "host/net/broadcast_server.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "host/host_log.h"
#include "support/avahi_browse.h"
#include "support/test_guest.h"

namespace {

using namespace std::chrono_literals;
using zoranth::BroadcastServer;
using zoranth::Hello;
using zoranth::Message;
using zoranth::TestGuest;

constexpr Hello stereo{48000, 2, 16, 960, 1500};
constexpr auto patience = 10s;

using Browsed = zoranth::BrowsedService;

std::optional<Browsed> resolved(const std::string& name) {
    return zoranth::avahiFind("_zoranth._tcp", name);
}

bool eventually(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(100ms);
    }
    return true;
}

class BroadcastServerAdvertising : public ::testing::Test {
  protected:
    void SetUp() override {
        if (std::getenv("ZORANTH_TEST_SERVICES") == nullptr) {
            GTEST_SKIP() << "needs the test services: eval \"$(scripts/test-services start)\"";
        }
        wroteFile_ = zoranth::HostLog::writesFile();
        zoranth::HostLog::setWritesFile(false);
    }
    void TearDown() override { zoranth::HostLog::setWritesFile(wroteFile_); }

    static std::shared_ptr<BroadcastServer> started(const std::string& name) {
        auto server = std::make_shared<BroadcastServer>(stereo, name);
        const auto result = server->start({0, boost::asio::ip::make_address("127.0.0.1"), true});
        EXPECT_TRUE(result) << result.error().text();
        return server;
    }

    bool wroteFile_ = true;

    static std::string uniqueName(const std::string& base) {
        return base + " " + std::to_string(::getpid());
    }
};

TEST_F(BroadcastServerAdvertising, GuestsFindTheRaveUnderItsNameAndPort) {
    const std::string name = uniqueName("Friday Rave");
    auto server = started("  " + name + "\t");
    ASSERT_TRUE(eventually([&] { return server->advertisedName() == name; }));

    std::optional<Browsed> listed;
    ASSERT_TRUE(eventually([&] { return (listed = resolved(name)).has_value(); }))
        << "avahi-browse does not list " << name;
    EXPECT_EQ(listed->port, server->port());
    auto guest = TestGuest::connect(static_cast<std::uint16_t>(listed->port));
    ASSERT_TRUE(guest);
    ASSERT_TRUE(guest->prove());
    EXPECT_EQ(guest->nextMessage(), Message(stereo));

    server->stop();
    EXPECT_TRUE(eventually([&] { return !resolved(name); })) << "still listed after stop";
}

TEST_F(BroadcastServerAdvertising, ASecondRaveOfTheSameNameIsAdvertisedUnderAvahisAlternative) {
    const std::string name = uniqueName("Twin Rave");
    auto first = started(name);
    ASSERT_TRUE(eventually([&] { return first->advertisedName() == name; }));
    auto second = started(name);
    const std::string alternative = name + " #2";
    ASSERT_TRUE(eventually([&] { return second->advertisedName() == alternative; }))
        << "advertised as " << second->advertisedName().value_or("nothing");

    std::optional<Browsed> listed;
    ASSERT_TRUE(eventually([&] { return (listed = resolved(alternative)).has_value(); }));
    EXPECT_EQ(listed->port, second->port());
    EXPECT_EQ(first->advertisedName(), name);
    first->stop();
    second->stop();
}

}  // namespace
