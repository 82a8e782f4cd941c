// The Win32 event port: its timers by the steady clock, calls posted from other threads, Run
// and Quit, and a loop of someone else's (a dialog's) that pumps the same queue.
#include "win_event_port.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <thread>

namespace {

using std::chrono::milliseconds;
using Clock = EventPort::Clock;

TEST(Win32EventPort, ATimerRunsOnceAndNeverEarly) {
    Win32EventPort loop;
    const auto timer = loop.MakeTimer();
    const auto stopped = loop.MakeTimer();
    std::vector<Clock::duration> runs;
    const auto start = Clock::now();
    timer->Start(milliseconds(500), [] { ADD_FAILURE() << "restarted: the first call is gone"; });
    timer->Start(milliseconds(200), [&] { runs.push_back(Clock::now() - start); });
    stopped->Start(milliseconds(100), [] { ADD_FAILURE() << "stopped timer ran"; });
    stopped->Stop();
    EXPECT_TRUE(timer->Active());
    EXPECT_FALSE(stopped->Active());
    while (Clock::now() - start < milliseconds(700)) {
        loop.RunOnce(milliseconds(50));
    }
    ASSERT_EQ(runs.size(), 1U);
    EXPECT_GE(runs[0], milliseconds(200));
    EXPECT_LT(runs[0], milliseconds(450));
    EXPECT_FALSE(timer->Active());
}

TEST(Win32EventPort, PostedCallsRunInOrderOnTheLoopsThreadAndQuitEndsRun) {
    Win32EventPort loop;
    std::vector<int> order;
    const auto loopThread = std::this_thread::get_id();
    std::thread poster([&] {
        for (int n = 0; n < 100; ++n) {
            loop.Post([&, n] {
                EXPECT_EQ(std::this_thread::get_id(), loopThread);
                order.push_back(n);
            });
        }
        loop.Post([&] { std::thread([&] { loop.Quit(); }).detach(); });
    });
    loop.Run();
    poster.join();
    ASSERT_EQ(order.size(), 100U);
    for (int n = 0; n < 100; ++n) {
        EXPECT_EQ(order[static_cast<std::size_t>(n)], n);
    }
}

TEST(Win32EventPort, AQuitWithNoRunIsForgotten) {
    Win32EventPort loop;
    loop.Quit();
    const auto timer = loop.MakeTimer();
    bool ran = false;
    timer->Start(milliseconds(20), [&] {
        ran = true;
        loop.Quit();
    });
    loop.Run();
    EXPECT_TRUE(ran);
}

// A dialog's loop knows nothing of the port: its messages alone carry the timers and posts.
TEST(Win32EventPort, AForeignMessageLoopRunsTimersAndPosts) {
    Win32EventPort loop;
    const auto timer = loop.MakeTimer();
    int ran = 0;
    timer->Start(milliseconds(30), [&] {
        ++ran;
        loop.Post([&] {
            ++ran;
            ::PostQuitMessage(0);
        });
    });
    MSG message{};
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
        ::DispatchMessageW(&message);
    }
    EXPECT_EQ(ran, 2);
}

}  // namespace
