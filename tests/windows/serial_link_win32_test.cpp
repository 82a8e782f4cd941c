// The serial link on the Win32 COM port under Wine, against the Linux simulator in serial mode
// on COM<KESTREL_TEST_COM> at KESTREL_TEST_BAUD: the rate search, then the reader thread.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "serial_link.h"
#include "serial_port.h"
#include "serial_rates.h"

namespace {

using namespace std::chrono_literals;

int NumberFromEnvironment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::atoi(value) : 0;
}

TEST(Win32SerialLink, FindsTheModulesRateAndItsReaderHandsOnReplies) {
    const int com = NumberFromEnvironment("KESTREL_TEST_COM");
    const auto baud = static_cast<std::uint32_t>(NumberFromEnvironment("KESTREL_TEST_BAUD"));
    if (com == 0 || baud == 0) GTEST_SKIP() << "KESTREL_TEST_COM and KESTREL_TEST_BAUD";

    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<std::vector<Byte>> frames;
    SerialLink::Handlers handlers;
    handlers.onFrame = [&](std::span<const Byte> frame) {
        const std::lock_guard lock(mutex);
        frames.emplace_back(frame.begin(), frame.end());
        arrived.notify_all();
    };
    handlers.wakeUi = [] {};
    CSerialPort port;
    SerialLink link(port, handlers);
    ASSERT_TRUE(link.Open(com)) << link.OpenFailureLine();

    const SerialLink::SearchResult found = link.Search(1, [] { return false; });
    ASSERT_EQ(found.end, SerialLink::SearchResult::End::Found);
    EXPECT_EQ(kSerialRates.at(static_cast<std::size_t>(found.step)).baud, baud);
    EXPECT_EQ(found.address, 1);
    ASSERT_TRUE(link.ReaderRunning());

    StoreCommandUnit(kCmdQueryDi, 1);
    ASSERT_TRUE(link.Send(FrameCommand(kCmdQueryDi, Framing::ModbusRtu)));
    std::unique_lock lock(mutex);
    ASSERT_TRUE(arrived.wait_for(lock, 10s, [&] { return !frames.empty(); }));
    EXPECT_EQ(frames.front().at(1), 0x01);  // the four digital inputs
    lock.unlock();
    // The reader waits on a quiet line: closing wakes it, stops it and closes the port.
    link.Close();
    EXPECT_FALSE(link.ReaderRunning());
    EXPECT_FALSE(port.IsOpen());
}

}  // namespace
