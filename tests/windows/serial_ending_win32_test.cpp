// The program's end on the Win32 COM port, in a program of its own (it cannot be taken back):
// a read with a long bound returns as soon as another thread calls EndAllWaits().
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "serial_port.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(Win32SerialEnding, EndAllWaitsCutsAWaitingReadShort) {
    const char* com = std::getenv("KESTREL_TEST_COM");
    if (com == nullptr) GTEST_SKIP() << "KESTREL_TEST_COM names a port to read from";
    CSerialPort port;
    ASSERT_TRUE(port.Open(std::atoi(com), 19200, 8, 0, 0)) << port.LastError();
    ASSERT_TRUE(port.SetReadTimeout(1000));  // a read of 32 bytes may wait 33 s
    std::thread ender([] {
        std::this_thread::sleep_for(200ms);
        CSerialPort::EndAllWaits();
    });
    std::vector<std::uint8_t> buffer(32);
    const auto start = Clock::now();
    EXPECT_EQ(port.Read(buffer.data(), 32), 0u);
    EXPECT_LT(Clock::now() - start, 10s);
    ender.join();
    EXPECT_TRUE(CSerialPort::Ending());
    EXPECT_FALSE(port.LineLost());
}

}  // namespace
