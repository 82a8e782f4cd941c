// The serial model: a pseudo-terminal published as $KESTREL_COM_DIR/COMn.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <vector>

#include "codec.h"
#include "module_model.h"
#include "sim_harness.h"

namespace {

using simtest::Clock;
using simtest::SimProcess;
using simtest::TempDir;
using std::chrono::milliseconds;

// The panel's side of the line: opened raw, 8N1, at a chosen rate.
class SerialPort {
  public:
    explicit SerialPort(const std::string& path)
        : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)) {}
    ~SerialPort() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool IsOpen() const { return fd_ >= 0; }

    void SetRate(speed_t speed) const {
        termios line{};
        ::tcgetattr(fd_, &line);
        ::cfmakeraw(&line);
        line.c_cflag = (line.c_cflag & ~static_cast<tcflag_t>(PARENB | CSTOPB | CSIZE)) | CS8;
        ::cfsetspeed(&line, speed);
        ::tcsetattr(fd_, TCSANOW, &line);
    }

    void Write(const std::vector<Byte>& bytes) const {
        ASSERT_EQ(::write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    std::vector<Byte> Read(std::size_t count, milliseconds patience) const {
        const auto deadline = Clock::now() + patience;
        std::vector<Byte> got;
        while (got.size() < count) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, simtest::RemainingMs(deadline)) <= 0) break;
            std::array<Byte, 256> buffer{};
            const ssize_t n =
                ::read(fd_, buffer.data(), std::min(buffer.size(), count - got.size()));
            if (n <= 0) break;
            got.insert(got.end(), buffer.begin(), buffer.begin() + n);
        }
        return got;
    }

  private:
    int fd_;
};

const std::vector<Byte> kReadAnalog = BuildFrame({1, 4, 0, 2}, Framing::ModbusRtu);
const std::vector<Byte> kAnalogReply =
    EncodeMessage(sim::Message{1, 4, 4, 0, 7, 0, 8}, Framing::ModbusRtu, 0);

class SerialSimTest : public testing::Test {
  protected:
    void Start(const std::vector<std::string>& extra = {}) {
        std::vector<std::string> args{"--serial", "COM5", "--baud", "9600", "--ai", "7,8"};
        args.insert(args.end(), extra.begin(), extra.end());
        sim_ = std::make_unique<SimProcess>(
            args, std::vector<std::string>{"KESTREL_COM_DIR=" + dir_.Path()});
    }
    std::string Link() const { return dir_.Path() + "/COM5"; }

    TempDir dir_;
    std::unique_ptr<SimProcess> sim_;
};

TEST_F(SerialSimTest, PublishesTheTerminalAsALink) {
    Start();
    ASSERT_TRUE(sim_->Started()) << sim_->Stderr();
    const std::string target = std::filesystem::read_symlink(Link());
    EXPECT_EQ(sim_->ListeningLine(), "listening serial COM5 -> " + target + " baud=9600");
    // The serial model reports the index of its rate (3 = 9600) in the parameter block.
    EXPECT_EQ(sim_->Command("show"),
              "state relays=0000 di=0000 ai=7,8 params=01 00 02 03 16 00 00 00 00 00 address=1");
}

TEST_F(SerialSimTest, AnswersOnlyAtItsOwnRate) {
    Start();
    ASSERT_TRUE(sim_->Started());
    SerialPort port(Link());
    ASSERT_TRUE(port.IsOpen());
    port.SetRate(B1200);
    port.Write(kReadAnalog);
    EXPECT_TRUE(port.Read(1, milliseconds(300)).empty());
    port.SetRate(B9600);
    port.Write(kReadAnalog);
    EXPECT_EQ(port.Read(kAnalogReply.size(), simtest::kPatience), kAnalogReply);
}

TEST_F(SerialSimTest, SurvivesThePanelClosingAndReopening) {
    Start();
    ASSERT_TRUE(sim_->Started());
    for (int round = 0; round < 3; ++round) {
        SerialPort port(Link());
        port.SetRate(B9600);
        port.Write(kReadAnalog);
        EXPECT_EQ(port.Read(kAnalogReply.size(), simtest::kPatience), kAnalogReply) << round;
    }
}

TEST_F(SerialSimTest, DigitalUploadGoesOutOnTheLine) {
    Start();
    ASSERT_TRUE(sim_->Started());
    SerialPort port(Link());
    port.SetRate(B9600);
    const std::vector<Byte> enable = BuildFrame({1, 6, 0x3F, 0x0101}, Framing::ModbusRtu);
    port.Write(enable);
    EXPECT_EQ(port.Read(8, simtest::kPatience), enable);
    EXPECT_EQ(sim_->Command("di 1 1"), "ok");
    EXPECT_EQ(port.Read(8, simtest::kPatience),
              BuildFrame({2, 5, 0x10, 0xFF00}, Framing::ModbusRtu));
}

TEST_F(SerialSimTest, RemovesTheLinkOnSignals) {
    for (int signo : {SIGTERM, SIGINT}) {
        Start();
        ASSERT_TRUE(sim_->Started());
        EXPECT_TRUE(std::filesystem::is_symlink(Link()));
        sim_->Signal(signo);
        EXPECT_EQ(sim_->WaitExit(), 0);
        EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(Link())));
    }
}

TEST_F(SerialSimTest, ReplacesAStaleLinkButNotALiveOne) {
    std::filesystem::create_symlink("/dev/pts/does-not-exist", Link());
    Start();
    ASSERT_TRUE(sim_->Started()) << sim_->Stderr();
    SimProcess second({"--serial", "COM5"}, {"KESTREL_COM_DIR=" + dir_.Path()});
    EXPECT_FALSE(second.Started());
    EXPECT_EQ(second.WaitExit(), 1);
    EXPECT_TRUE(std::filesystem::exists(Link()));  // the first one's link is untouched
}

TEST(SerialSimNoDirTest, RefusesWithoutComDir) {
    SimProcess sim({"--serial", "COM5"}, {"KESTREL_COM_DIR"});
    EXPECT_FALSE(sim.Started());
    EXPECT_EQ(sim.WaitExit(), 1);
    EXPECT_NE(sim.Stderr().find("KESTREL_COM_DIR"), std::string::npos);
}

}  // namespace
