// The conversation's pauses and deadlines on the virtual clock, exactly: the parameter read, the
// paced write, the reply deadline; and the hand-overs between threads (the background task, the
// signal watch).
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <thread>

#include "../modbus/hex.h"
#include "background_task.h"
#include "device_params.h"
#include "param_read.h"
#include "param_write.h"
#include "poll_loop.h"
#include "reply_deadline.h"
#include "signal_watch.h"
#include "virtual_clock.h"

namespace {

using std::chrono::milliseconds;
using Sent = std::vector<std::pair<long, std::string>>;  // ms since the start, frame in hex

// A link that keeps what goes out on it, stamped with the clock's time.
class RecordingLink : public RequestLink {
  public:
    RecordingLink(const VirtualClock& clock, Framing framing)
        : m_clock(clock), m_framing(framing) {}
    bool Ready() const override { return ready; }
    bool Send(std::span<const Byte> frame) override {
        sent.emplace_back(static_cast<long>(m_clock.Elapsed().count()), HexText(frame));
        return ready;
    }
    Framing LinkFraming() const override { return m_framing; }
    std::string TraceName() const override { return "test"; }

    bool ready = true;
    Sent sent;

  private:
    const VirtualClock& m_clock;
    Framing m_framing;
};

std::string HexOf(const char* hex) {
    return ToHex(Hex(hex));
}

struct ReadCase {
    const char* name;
    Framing framing;
    std::optional<Byte> unit;
    Sent sent;
    std::vector<std::uint16_t> watched;
};

void PrintTo(const ReadCase& c, std::ostream* out) {
    *out << c.name;
}

class ParamReadTimes : public ::testing::TestWithParam<ReadCase> {};

TEST_P(ParamReadTimes, SendsItsFramesAtTheirTimes) {
    const ReadCase& c = GetParam();
    VirtualClock clock;
    RecordingLink link(clock, c.framing);
    ParamRead read(clock);
    std::vector<std::uint16_t> watched;
    int ended = 0;
    EXPECT_TRUE(read.Start(link, c.unit,
                           {[&watched](std::uint16_t quantity) { watched.push_back(quantity); },
                            [&ended](bool sent) { ended += sent ? 1 : 100; }}));
    clock.Advance(milliseconds(199));
    EXPECT_EQ(read.Pending(), c.sent.size() == 2 && c.sent[1].first == 200);
    clock.Advance(milliseconds(1000));
    EXPECT_EQ(link.sent, c.sent);
    EXPECT_EQ(watched, c.watched);
    EXPECT_EQ(ended, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Reads, ParamReadTimes,
    ::testing::Values(ReadCase{"RtuTo0xFF",
                               Framing::ModbusRtu,
                               std::nullopt,
                               {{0, HexOf("FF03003F00032019")}, {200, HexOf("FF03003F0005A01B")}},
                               {3, 5}},
                      ReadCase{"TcpTo0xFF",
                               Framing::ModbusTcp,
                               std::nullopt,
                               {{0, HexOf("0001 0000 0006 FF 03 003F 0003")},
                                {0, HexOf("0001 0000 0006 FF 03 003F 0005")}},
                               {3, 5}},
                      ReadCase{"RtuToUnit7",
                               Framing::ModbusRtu,
                               Byte{7},
                               {{0, ToHex(ParamReadFrame(5, Framing::ModbusRtu, 7))}},
                               {5}}),
    [](const auto& readInfo) { return std::string(readInfo.param.name); });

TEST(ParamRead, AStopWhileTheSecondWaitsSendsNothingMoreAndSaysSo) {
    VirtualClock clock;
    RecordingLink link(clock, Framing::ModbusRtu);
    ParamRead read(clock);
    std::vector<bool> ended;
    read.Start(link, std::nullopt, {nullptr, [&ended](bool sent) { ended.push_back(sent); }});
    clock.Advance(milliseconds(100));
    read.Stop(true);
    clock.Advance(milliseconds(500));
    EXPECT_EQ(link.sent.size(), 1U);
    EXPECT_EQ(ended, std::vector<bool>{false});
}

// What a paced write told, and when (ms since the start).
struct WriteLog {
    ParamWrite::Steps Steps(const VirtualClock& clock, std::size_t stopAt = 99) {
        const auto at = [&clock] { return static_cast<long>(clock.Elapsed().count()); };
        return {[this, at, stopAt](std::size_t index, std::size_t count) {
                    events.emplace_back(
                        at(), "before " + std::to_string(index) + "/" + std::to_string(count));
                    return index != stopAt;
                },
                nullptr,
                [this, at] { events.emplace_back(at(), "last"); },
                settle,
                [this, at] { events.emplace_back(at(), "settled"); },
                [this, at] { events.emplace_back(at(), "read back"); }};
    }
    milliseconds settle{0};
    std::vector<std::pair<long, std::string>> events;
};

std::vector<std::vector<Byte>> FourFrames() {
    DeviceParams block;
    block.bytes = {1, 0, 2, 3, 0, 0, 0, 0, 0, 0};
    return ParamWriteFrames(block, 1, Framing::ModbusRtu);
}

std::vector<long> Times(const Sent& sent) {
    std::vector<long> times;
    for (const auto& [at, frame] : sent) times.push_back(at);
    return times;
}

// kestrel-cli's write: a settle of 100 ms after the last frame, then 200 ms to the read-back.
TEST(ParamWrite, FramesGo100msApartAndTheReadBackFollowsTheSettleAnd200ms) {
    VirtualClock clock;
    RecordingLink link(clock, Framing::ModbusRtu);
    ParamWrite write(clock);
    WriteLog log;
    log.settle = milliseconds(100);
    write.Start(link, FourFrames(), log.Steps(clock));
    clock.Advance(milliseconds(2000));
    EXPECT_EQ(Times(link.sent), (std::vector<long>{0, 100, 200, 300}));
    EXPECT_EQ(log.events, (std::vector<std::pair<long, std::string>>{{0, "before 0/4"},
                                                                     {100, "before 1/4"},
                                                                     {200, "before 2/4"},
                                                                     {300, "before 3/4"},
                                                                     {300, "last"},
                                                                     {400, "settled"},
                                                                     {600, "read back"}}));
    EXPECT_EQ(write.Sent(), 4U);
    EXPECT_FALSE(write.Running());
}

// The window's write on a link that was lost after two frames: the rest is not sent, and the
// block is read back 200 ms later, with neither the completion nor the settle.
TEST(ParamWrite, AFrameTheHookRefusesEndsTheFramesAndTheReadBackFollows200msLater) {
    VirtualClock clock;
    RecordingLink link(clock, Framing::ModbusTcp);
    ParamWrite write(clock);
    WriteLog log;
    write.Start(link, FourFrames(), log.Steps(clock, 2));
    clock.Advance(milliseconds(2000));
    EXPECT_EQ(Times(link.sent), (std::vector<long>{0, 100}));
    EXPECT_EQ(
        log.events,
        (std::vector<std::pair<long, std::string>>{
            {0, "before 0/4"}, {100, "before 1/4"}, {200, "before 2/4"}, {400, "read back"}}));
}

TEST(ParamWrite, NoFramesGoesStraightToTheLastAndAStopEndsIt) {
    VirtualClock clock;
    RecordingLink link(clock, Framing::ModbusTcp);
    ParamWrite write(clock);
    WriteLog log;
    write.Start(link, {}, log.Steps(clock));
    EXPECT_EQ(log.events, (std::vector<std::pair<long, std::string>>{{0, "last"}, {0, "settled"}}));
    write.Stop();
    clock.Advance(milliseconds(1000));
    EXPECT_EQ(log.events.size(), 2U);
}

TEST(ReplyDeadline, TellsARequestUnansweredAtItsDeadlineExactly) {
    VirtualClock clock;
    std::vector<std::pair<long, std::string>> lines;
    ReplyDeadline deadline(clock, [&](const std::vector<std::string>& expired) {
        for (const auto& line : expired) lines.emplace_back(clock.Elapsed().count(), line);
    });
    deadline.Watch(ReplyWatch::ForCommand(0, "RL1 Closed"), milliseconds(1000));
    clock.Advance(milliseconds(300));
    deadline.Watch(ReplyWatch::ForCommand(8, "DI"), milliseconds(1000));
    EXPECT_EQ(deadline.Received(Hex("01 05 0010 FF00")), std::nullopt);  // RL1's echo
    clock.Advance(milliseconds(999));
    EXPECT_TRUE(lines.empty());
    clock.Advance(milliseconds(1));
    EXPECT_EQ(lines,
              (std::vector<std::pair<long, std::string>>{{1300, "No reply from unit 1 to DI"}}));
    EXPECT_EQ(clock.NextDue(), std::nullopt);
}

TEST(BackgroundTask, DoneRunsOnTheLoopAfterTheJobAndNeverForAnAbandonedOrLeftOne) {
    VirtualClock clock;
    BackgroundTask task(clock);
    auto result = std::make_shared<int>(0);
    int done = 0;
    task.Start([result] { *result = 42; }, [&] { done = *result; });
    while (clock.RunPosted() == 0) std::this_thread::yield();
    EXPECT_EQ(done, 42);
    EXPECT_FALSE(task.Running());

    task.Start([] {}, [&done] { done = 1; });
    task.Abandon();
    clock.RunPosted();
    EXPECT_EQ(done, 42);

    auto release = std::make_shared<std::atomic<bool>>(false);
    task.Start(
        [release] {
            while (!*release) std::this_thread::yield();
        },
        [&done] { done = 2; });
    task.Leave();
    EXPECT_FALSE(task.Running());
    *release = true;
    std::this_thread::sleep_for(milliseconds(20));
    EXPECT_EQ(clock.RunPosted(), 0U);
    EXPECT_EQ(done, 42);
}

// A Quit while no Run is under way is forgotten (kestrel-cli drops a parked job between two
// runs); one from a call the loop runs ends the Run after its due timers, in time order.
TEST(PollLoop, RunsTimersInOrderUntilAQuitFromInsideTheRun) {
    PollLoop loop;
    std::vector<int> ran;
    const auto late = loop.MakeTimer();
    const auto early = loop.MakeTimer();
    late->Start(milliseconds(30), [&] {
        ran.push_back(30);
        loop.Quit();
    });
    early->Start(milliseconds(10), [&ran] { ran.push_back(10); });
    loop.Quit();
    std::thread([&loop, &ran] { loop.Post([&ran] { ran.push_back(0); }); }).join();
    loop.Run();
    EXPECT_EQ(ran, (std::vector<int>{0, 10, 30}));
}

// In a child process: the signal's handlers stay there.
TEST(SignalWatchDeathTest, ASignalBecomesACallOnTheLoop) {
    EXPECT_EXIT(
        {
            VirtualClock clock;
            int told = 0;
            SignalWatch watch(clock, [&told](int signo) { told = signo; });
            ::raise(SIGTERM);
            for (int turn = 0; turn < 2000 && told == 0; ++turn) {
                clock.RunPosted();
                std::this_thread::sleep_for(milliseconds(1));
            }
            std::exit(watch.Active() && told == SIGTERM && SignalWatch::Caught() == SIGTERM ? 7
                                                                                            : 1);
        },
        ::testing::ExitedWithCode(7), "");
}

}  // namespace
