// The COM port on the Win32 API, run under Wine by scripts/test-windows.sh against the Linux
// simulator in serial mode on a pseudo-terminal mapped as COM<KESTREL_TEST_COM>, and against a
// peer that hangs up, on COM<KESTREL_TEST_HANGUP_COM>, after the first byte it receives.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "frames.h"
#include "serial_port.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

int PortFromEnvironment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::atoi(value) : 0;
}

const int kModulePort = PortFromEnvironment("KESTREL_TEST_COM");
const auto kModuleBaud = static_cast<std::uint32_t>(PortFromEnvironment("KESTREL_TEST_BAUD"));
const int kHangUpPort = PortFromEnvironment("KESTREL_TEST_HANGUP_COM");
constexpr int kNoSuchPort = 199;
constexpr std::uint32_t kQueryDiReplySize = 6;  // unit, function, count, bits, CRC

class Win32SerialPortTest : public testing::Test {
  protected:
    void SetUp() override {
        if (kModulePort == 0 || kModuleBaud == 0) {
            GTEST_SKIP() << "KESTREL_TEST_COM and KESTREL_TEST_BAUD name the simulator's port";
        }
    }

    void Open(CSerialPort& port, int number, std::uint32_t baud) {
        port.SetMessageSink([this](const char* text) { m_messages.emplace_back(text); });
        ASSERT_TRUE(port.Open(number, baud, 8, 0, 0)) << port.LastError();
    }

    static void SendQueryDi(CSerialPort& port) {
        StoreCommandUnit(kCmdQueryDi, 1);
        const auto frame = FrameCommand(kCmdQueryDi, Framing::ModbusRtu);
        port.Write(frame.data(), static_cast<std::uint32_t>(frame.size()));
    }

    std::vector<std::string> m_messages;
};

TEST_F(Win32SerialPortTest, TheModuleAnswersOnlyAtItsRateAndAReadWaitsItsWholeBound) {
    CSerialPort port;
    Open(port, kModulePort, kModuleBaud);
    ASSERT_TRUE(port.SetReadTimeout(40));
    std::vector<std::uint8_t> reply(kQueryDiReplySize);
    SendQueryDi(port);
    ASSERT_EQ(port.Read(reply.data(), kQueryDiReplySize), kQueryDiReplySize);
    EXPECT_EQ(reply[0], 1);
    EXPECT_EQ(reply[1], 0x01);  // read the four digital inputs

    // At another rate the simulator hears nothing it takes: the read waits 40 * 6 + 40 ms.
    port.Configure(kModuleBaud == 9600 ? 19200 : 9600, 8, 0, 0);
    SendQueryDi(port);
    const auto start = Clock::now();
    EXPECT_EQ(port.Read(reply.data(), kQueryDiReplySize), 0u);
    EXPECT_GE(Clock::now() - start, 270ms);
    EXPECT_FALSE(port.LineLost());
    EXPECT_TRUE(m_messages.empty());
}

TEST_F(Win32SerialPortTest, WithoutAMultiplierAReadTakesWhatIsThereAtOnce) {
    CSerialPort port;
    Open(port, kModulePort, kModuleBaud);
    std::vector<std::uint8_t> reply(kQueryDiReplySize);
    const auto start = Clock::now();
    EXPECT_EQ(port.Read(reply.data(), kQueryDiReplySize), 0u);
    EXPECT_LT(Clock::now() - start, 2s);
    SendQueryDi(port);
    ASSERT_EQ(port.WaitReadable(5000), CSerialPort::WaitResult::Readable);
    std::this_thread::sleep_for(50ms);  // the rest of the six bytes, at least 9600 baud
    EXPECT_EQ(port.Read(reply.data(), kQueryDiReplySize), kQueryDiReplySize);
}

TEST_F(Win32SerialPortTest, WaitsEndAtTheirBoundOrAtAWake) {
    CSerialPort port;
    Open(port, kModulePort, kModuleBaud);
    const auto start = Clock::now();
    EXPECT_EQ(port.WaitReadable(100), CSerialPort::WaitResult::Timeout);
    EXPECT_GE(Clock::now() - start, 100ms);

    std::thread waker([&port] {
        std::this_thread::sleep_for(100ms);
        port.WakeWaiter();
    });
    EXPECT_EQ(port.WaitReadableOrWoken(), CSerialPort::WaitResult::Timeout);
    waker.join();

    // A wake no waiter took is dropped, so the next read waits its whole time.
    port.WakeWaiter();
    port.ForgetWake();
    ASSERT_TRUE(port.SetReadTimeout(20));
    std::uint8_t byte = 0;
    const auto readStart = Clock::now();
    EXPECT_EQ(port.Read(&byte, 1), 0u);
    EXPECT_GE(Clock::now() - readStart, 40ms);
}

// (That a second opener is refused is the driver's doing on Windows; Wine does not refuse it.)
TEST_F(Win32SerialPortTest, AMissingPortFailsToOpenAndSaysSo) {
    CSerialPort port;
    port.SetMessageSink([this](const char* text) { m_messages.emplace_back(text); });
    EXPECT_FALSE(port.Open(kNoSuchPort, kModuleBaud, 8, 0, 0));
    EXPECT_FALSE(port.IsOpen());
    EXPECT_FALSE(port.LastError().empty());
    EXPECT_EQ(m_messages, std::vector<std::string>{"Open com failed!"});
    EXPECT_FALSE(port.Open(0, kModuleBaud, 8, 0, 0));
    EXPECT_EQ(port.LastError(), "no device is mapped to COM0");
}

TEST_F(Win32SerialPortTest, ComNamesAreTheSystemsDeviceNames) {
    EXPECT_EQ(ComDevicePath(5), "\\\\.\\COM5");
    EXPECT_EQ(ComDevicePath(12), "\\\\.\\COM12");
    EXPECT_EQ(ComDevicePath(0), "");
    EXPECT_TRUE(ComDeviceExists(kModulePort));
    EXPECT_FALSE(ComDeviceExists(kNoSuchPort));
    EXPECT_FALSE(ComDeviceExists(0));
}

TEST_F(Win32SerialPortTest, APeerThatHangsUpIsReportedAsALostLine) {
    if (kHangUpPort == 0) GTEST_SKIP() << "KESTREL_TEST_HANGUP_COM names the peer that hangs up";
    CSerialPort port;
    Open(port, kHangUpPort, 9600);
    const std::uint8_t byte = 0x55;
    port.Write(&byte, 1);
    ASSERT_TRUE(port.SetReadTimeout(100));
    std::uint8_t got = 0;
    const auto deadline = Clock::now() + 10s;
    while (!port.LineLost() && Clock::now() < deadline) {
        if (port.WaitReadable(200) == CSerialPort::WaitResult::LineLost) break;
        port.Read(&got, 1);
    }
    EXPECT_TRUE(port.LineLost());
}

}  // namespace
