// The steady port on real sockets on 127.0.0.1: remembered once and asked for again, a
// fallback only while another program holds it, --port first, a damaged file forgotten.
#include "host/net/steady_port.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace zoranth {
namespace {

namespace fs = std::filesystem;

// Listens on 127.0.0.1:port for as long as it lives, as another program would.
class Holder {
  public:
    explicit Holder(std::uint16_t port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in where{};
        where.sin_family = AF_INET;
        where.sin_port = htons(port);
        where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0 &&
                 ::listen(fd_, 1) == 0;
    }
    ~Holder() { ::close(fd_); }
    bool bound() const { return bound_; }

  private:
    int fd_ = -1;
    bool bound_ = false;
};

class SteadyPortTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/zoranth-port-XXXXXX";
        folder_ = ::mkdtemp(pattern);
    }
    void TearDown() override { fs::remove_all(folder_); }

    SteadyPort port() const {
        return SteadyPort({(folder_ / "zoranth" / "rave-port").string(), "127.0.0.1"});
    }

    fs::path folder_;
};

TEST_F(SteadyPortTest, TwoRavesInARowListenOnTheSamePort) {
    const SteadyPort::Choice first = port().choose(std::nullopt);
    ASSERT_NE(first.port, 0);
    EXPECT_FALSE(first.fellBack);
    EXPECT_EQ(first.usual, std::nullopt);
    ASSERT_TRUE(port().remember(first.port));

    const SteadyPort::Choice second = port().choose(std::nullopt);
    EXPECT_EQ(second, (SteadyPort::Choice{first.port, false, first.port}));
    std::string stored;
    std::getline(std::ifstream(folder_ / "zoranth" / "rave-port"), stored);
    EXPECT_EQ(stored, std::to_string(first.port));
}

TEST_F(SteadyPortTest, ATakenPortFallsBackWithALineAndStaysTheUsualOne) {
    const std::uint16_t usual = port().settle();
    ASSERT_NE(usual, 0);
    {
        Holder other(usual);
        ASSERT_TRUE(other.bound());
        const SteadyPort::Choice choice = port().choose(std::nullopt);
        EXPECT_TRUE(choice.fellBack);
        EXPECT_EQ(choice.usual, usual);
        EXPECT_NE(choice.port, usual);
        EXPECT_NE(choice.port, 0);
        EXPECT_FALSE(port().isFree(usual));
        port().remember(choice.port);  // a rave remembers what it listened on
        EXPECT_EQ(SteadyPort::fallbackLine(usual, choice.port),
                  "port " + std::to_string(usual) +
                      ", this computer's usual port for raves, is taken by another program; "
                      "listening on " +
                      std::to_string(choice.port) + " instead (a firewall rule made for " +
                      std::to_string(usual) + " does not cover it)");
    }
    EXPECT_EQ(port().choose(std::nullopt), (SteadyPort::Choice{usual, false, usual}))
        << "once it is free again the usual port comes back";
}

TEST_F(SteadyPortTest, APortGivenOnTheCommandLineWins) {
    const std::uint16_t usual = port().settle();
    EXPECT_EQ(port().choose(40999), (SteadyPort::Choice{40999, false, usual}));
    EXPECT_EQ(port().choose(0).port, usual) << "--port 0 is no port";
    EXPECT_EQ(port().remembered(), usual);
}

TEST_F(SteadyPortTest, ADamagedFileIsForgottenAndChosenAnew) {
    fs::create_directories(folder_ / "zoranth");
    for (const char* text : {"", "port\n", "70000\n", "0\n", "123abc\n"}) {
        std::ofstream(folder_ / "zoranth" / "rave-port") << text;
        EXPECT_EQ(port().remembered(), std::nullopt) << text;
        const std::uint16_t chosen = port().settle();
        EXPECT_NE(chosen, 0);
        EXPECT_EQ(port().remembered(), chosen) << text;
        fs::remove(folder_ / "zoranth" / "rave-port");
    }
}

TEST(SteadyPortFile, LivesInTheUsersStateFolder) {
    EXPECT_TRUE(SteadyPort::defaultStateFile().ends_with("/zoranth/rave-port"));
}

}  // namespace
}  // namespace zoranth
