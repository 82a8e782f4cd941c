#include "serial_port.h"

#include <termios.h>

#include <chrono>
#include <thread>
#include <vector>

#include "pty_fixture.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

const std::vector<std::string> kOpenFailed{"Open com failed!"};
const std::vector<std::string> kWriteFailed{"Write com failed"};

class SerialPortTest : public PtyFixture {
  protected:
    void OpenPort(CSerialPort& port, std::uint32_t baud = 9600) {
        Watch(port);
        ASSERT_TRUE(port.Open(kPort, baud, 8, 0, 0)) << port.LastError();
        ASSERT_TRUE(port.IsOpen());
    }

    termios MasterLine() const {
        termios line{};
        EXPECT_EQ(::tcgetattr(Master(), &line), 0);
        return line;
    }
};

struct OpenFailure {
    const char* name;
    int port;
    const char* linkTarget;  // KESTREL_COM_DIR/COM<port> -> this, when set
    const char* error;
};

TEST_F(SerialPortTest, OpenFailureLeavesThePortClosedAndSaysSo) {
    const OpenFailure cases[] = {
        {"no selection", 0, nullptr, "no device is mapped to COM0"},
        {"unmapped number", 300, nullptr, "no device is mapped to COM300"},
        {"missing device", 9, "/nonexistent/tty", "No such file or directory"},
        {"not a terminal", 10, "/dev/null", "Inappropriate ioctl for device"},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        if (row.linkTarget != nullptr) LinkCom(row.port, row.linkTarget);
        m_messages.clear();
        CSerialPort port;
        Watch(port);
        EXPECT_FALSE(port.Open(row.port, 9600, 8, 0, 0));
        EXPECT_EQ(m_messages, kOpenFailed);
        EXPECT_FALSE(port.IsOpen());
        EXPECT_EQ(port.LastError(), row.error);
        port.Configure(9600, 8, 0, 0);
        EXPECT_FALSE(port.SetReadTimeout(25));
        std::uint8_t buffer[8];
        EXPECT_EQ(port.Read(buffer, sizeof buffer), 0u);
    }
}

TEST_F(SerialPortTest, SecondOpenerIsRefusedWhileTheFirstHoldsThePort) {
    CSerialPort second;
    Watch(second);
    {
        CSerialPort first;
        OpenPort(first);
        EXPECT_FALSE(second.Open(kPort, 9600, 8, 0, 0));
        EXPECT_EQ(second.LastError(), "held by another program");
        EXPECT_EQ(m_messages, kOpenFailed);
        EXPECT_TRUE(first.Open(kPort, 19200, 8, 0, 0)) << "reopening the held port itself";
        first.Close();
        EXPECT_TRUE(second.Open(kPort, 9600, 8, 0, 0)) << second.LastError();
        second.Close();
        EXPECT_TRUE(first.Open(kPort, 9600, 8, 0, 0));
    }  // the destructor lets go of the port
    EXPECT_TRUE(second.Open(kPort, 9600, 8, 0, 0)) << second.LastError();
    EXPECT_EQ(m_messages.size(), 1u);
}

TEST_F(SerialPortTest, OpenPurgesBytesThatCameBefore) {
    WriteToMaster(Pattern(10, 0x80));
    CSerialPort port;
    OpenPort(port);
    EXPECT_EQ(port.WaitReadable(100), CSerialPort::WaitResult::Timeout);
    WriteToMaster(Pattern(4));
    ASSERT_EQ(port.WaitReadable(2000), CSerialPort::WaitResult::Readable);
    port.SetReadTimeout(25);
    Bytes buffer(16);
    buffer.resize(port.Read(buffer.data(), 4));
    EXPECT_EQ(buffer, Pattern(4));
}

struct Chunk {
    std::chrono::milliseconds after;  // from the start of the read
    std::size_t count;
};

struct ReadCase {
    const char* name;
    std::uint32_t multiplier;
    std::uint32_t capacity;
    std::size_t waiting;  // bytes already there when the read starts
    std::vector<Chunk> later;
    std::chrono::milliseconds atLeast;
    std::chrono::milliseconds below;
};

TEST_F(SerialPortTest, ReadReturnsWhenFullOrWhenItsBoundPasses) {
    const ReadCase cases[] = {
        {"m=0, quiet", 0, 32, 0, {}, 0ms, 200ms},
        {"m=0, bytes waiting", 0, 32, 5, {}, 0ms, 200ms},
        {"m=25, quiet", 25, 32, 0, {}, 825ms, 3000ms},
        {"m=25, short reply with a gap", 25, 32, 0, {{50ms, 7}, {250ms, 8}}, 825ms, 3000ms},
        {"m=25, full reply waiting", 25, 32, 32, {}, 0ms, 400ms},
        {"m=2, full reply waiting", 2, 32, 32, {}, 0ms, 400ms},
        {"m=100, full reply in two parts", 100, 8, 0, {{50ms, 4}, {250ms, 4}}, 250ms, 850ms},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        CSerialPort port;
        OpenPort(port);
        std::size_t total = row.waiting;
        if (row.waiting > 0) {
            WriteToMaster(Pattern(row.waiting));
            ASSERT_EQ(port.WaitReadable(2000), CSerialPort::WaitResult::Readable);
        }
        ASSERT_TRUE(port.SetReadTimeout(row.multiplier));
        const auto start = Clock::now();
        std::thread device([&] {
            for (const auto& chunk : row.later) {
                std::this_thread::sleep_until(start + chunk.after);
                WriteToMaster(Pattern(chunk.count, static_cast<std::uint8_t>(total + 1)));
                total += chunk.count;
            }
        });
        Bytes buffer(row.capacity);
        buffer.resize(port.Read(buffer.data(), row.capacity));
        const auto elapsed = ElapsedSince(start);
        device.join();
        EXPECT_EQ(buffer, Pattern(total));
        EXPECT_GE(elapsed, row.atLeast);
        EXPECT_LT(elapsed, row.below);
        EXPECT_FALSE(port.LineLost());
    }
}

TEST_F(SerialPortTest, LineSettingsReachTheDevice) {
    CSerialPort port;
    OpenPort(port, 1200);
    termios line = MasterLine();
    EXPECT_EQ(::cfgetospeed(&line), static_cast<speed_t>(B1200));
    EXPECT_EQ(line.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(line.c_oflag & OPOST, 0u);
    EXPECT_EQ(line.c_iflag & (IXON | IXOFF | ICRNL), 0u);
    EXPECT_EQ(line.c_cflag & (CLOCAL | CREAD | CRTSCTS), static_cast<tcflag_t>(CLOCAL | CREAD));

    struct Settings {
        std::uint32_t baud;
        std::uint8_t byteSize, stopBits, parity;
        speed_t speed;
        tcflag_t stopFlag, parityCheck, oddFlag;
    };
    // Row by row on the same port: a value the port does not know keeps the one before.
    // A pty always reports CS8 and drops PARENB, so parity shows as INPCK and PARODD.
    const Settings rows[] = {
        {9600, 8, 0, 0, B9600, 0, 0, 0},
        {19200, 7, 2, 2, B19200, CSTOPB, INPCK, 0},
        {115200, 8, 1, 1, B115200, CSTOPB, INPCK, PARODD},
        {12345, 5, 0, 0, B115200, 0, 0, 0},
        {1200, 9, 2, 7, B1200, CSTOPB, 0, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.baud);
        port.Configure(row.baud, row.byteSize, row.stopBits, row.parity);
        line = MasterLine();
        EXPECT_EQ(::cfgetospeed(&line), row.speed);
        EXPECT_EQ(::cfgetispeed(&line), row.speed);
        EXPECT_EQ(line.c_cflag & (CSIZE | PARENB), static_cast<tcflag_t>(CS8));
        EXPECT_EQ(line.c_cflag & CSTOPB, row.stopFlag);
        EXPECT_EQ(line.c_iflag & INPCK, row.parityCheck);
        EXPECT_EQ(line.c_cflag & PARODD, row.oddFlag);
    }
}

TEST_F(SerialPortTest, WrittenBytesReachTheDevice) {
    CSerialPort port;
    OpenPort(port);
    const Bytes frame = Pattern(200);
    port.Write(frame.data(), static_cast<std::uint32_t>(frame.size()));
    EXPECT_EQ(ReadFromMaster(frame.size(), 2000ms), frame);
    EXPECT_TRUE(m_messages.empty());
}

TEST_F(SerialPortTest, WriteGivesUpAtItsBoundWhenTheLineDoesNotDrain) {
    CSerialPort port;
    OpenPort(port);
    if (!HoldTowardMaster()) GTEST_SKIP() << "a second opener of the slave is refused";
    const Bytes frame = Pattern(5);
    const auto start = Clock::now();
    port.Write(frame.data(), static_cast<std::uint32_t>(frame.size()));
    const auto elapsed = ElapsedSince(start);
    EXPECT_GE(elapsed, 1000ms);  // 500 ms + 100 ms per byte
    EXPECT_LT(elapsed, 4000ms);
    EXPECT_EQ(m_messages, kWriteFailed);
}

TEST_F(SerialPortTest, WaitReportsBytesQuietAndHangUp) {
    CSerialPort port;
    OpenPort(port);
    auto start = Clock::now();
    EXPECT_EQ(port.WaitReadable(150), CSerialPort::WaitResult::Timeout);
    EXPECT_GE(ElapsedSince(start), 150ms);
    WriteToMaster(Pattern(3));
    EXPECT_EQ(port.WaitReadable(2000), CSerialPort::WaitResult::Readable);

    CloseMaster();
    start = Clock::now();
    EXPECT_EQ(port.WaitReadable(2000), CSerialPort::WaitResult::LineLost);
    EXPECT_LT(ElapsedSince(start), 1000ms);
    EXPECT_TRUE(port.LineLost());
    port.SetReadTimeout(25);
    std::uint8_t buffer[32];
    EXPECT_EQ(port.Read(buffer, sizeof buffer), 0u);
    EXPECT_LT(ElapsedSince(start), 1000ms) << "a lost line does not wait out the read bound";
    EXPECT_TRUE(m_messages.empty());
    port.Close();
    EXPECT_FALSE(port.LineLost());
    EXPECT_FALSE(port.IsOpen());
}

// The unbounded wait returns for bytes, for a wake from another thread, and for a hang-up.
TEST_F(SerialPortTest, AnUnboundedWaitEndsForBytesAWakeOrAHangUp) {
    CSerialPort port;
    OpenPort(port);
    WriteToMaster(Pattern(2));
    EXPECT_EQ(port.WaitReadableOrWoken(), CSerialPort::WaitResult::Readable);
    std::uint8_t buffer[8];
    EXPECT_EQ(port.Read(buffer, sizeof buffer), 2u);

    std::thread waker([&port] {
        std::this_thread::sleep_for(100ms);  // the wait has begun by then
        port.WakeWaiter();
    });
    const auto start = Clock::now();
    EXPECT_EQ(port.WaitReadableOrWoken(), CSerialPort::WaitResult::Timeout);
    EXPECT_GE(ElapsedSince(start), 90ms);
    waker.join();
    port.WakeWaiter();  // a wake that came before the wait ends the next wait at once
    EXPECT_EQ(port.WaitReadableOrWoken(), CSerialPort::WaitResult::Timeout);

    CloseMaster();
    EXPECT_EQ(port.WaitReadableOrWoken(), CSerialPort::WaitResult::LineLost);
}

}  // namespace
