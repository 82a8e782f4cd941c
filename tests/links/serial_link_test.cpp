// The serial link on its own, with no window and no event loop behind its hand-over: the test
// thread is the owner and drains what the reader hands over. Modules are played on
// pseudo-terminals.
#include "serial_link.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <thread>

#include "serial_link_fixture.h"
#include "serial_port.h"
#include "serial_reader.h"
#include "ui_handover.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kCom = 7;
constexpr milliseconds kPrompt{1000};  // generous: the machine is shared

milliseconds Since(Clock::time_point start) {
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
}

// Waits for the condition; `step` runs on this thread before each look.
bool Eventually(const std::function<bool()>& condition, const std::function<void()>& step = {}) {
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    for (;;) {
        if (step) step();
        if (condition()) return true;
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(milliseconds(1));
    }
}

// ---- the hand-over ------------------------------------------------------------------------------

TEST(UiHandover, ACallRunsOnTheDrainingThreadAndTheWorkerWaitsForIt) {
    std::atomic<int> wakes{0};
    UiHandover handover([&wakes] { ++wakes; });
    std::thread::id ranOn;
    std::atomic<bool> returned{false};
    std::thread worker([&] {
        handover.Call([&ranOn] { ranOn = std::this_thread::get_id(); });
        returned = true;
    });
    ASSERT_TRUE(Eventually([&wakes] { return wakes.load() == 1; }));
    std::this_thread::sleep_for(milliseconds(20));
    EXPECT_FALSE(returned.load());  // not drained yet
    handover.Drain();
    worker.join();
    EXPECT_EQ(ranOn, std::this_thread::get_id());
}

TEST(UiHandover, ClosingReleasesAWaitingWorkerAndDropsWhatIsQueued) {
    UiHandover handover([] {});
    std::atomic<int> runs{0};
    handover.Post([&runs] { ++runs; });
    std::thread worker([&] { handover.Call([&runs] { ++runs; }); });
    std::this_thread::sleep_for(milliseconds(20));
    const auto start = Clock::now();
    handover.Close();
    worker.join();
    EXPECT_LT(Since(start), kPrompt);
    handover.Post([&runs] { ++runs; });  // closed: dropped
    handover.Drain();
    EXPECT_EQ(runs.load(), 0);
    handover.Open();
    handover.Post([&runs] { ++runs; });
    handover.Drain();
    EXPECT_EQ(runs.load(), 1);
}

// ---- the link -----------------------------------------------------------------------------------

class SerialLinkObject : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(comDir.isValid());
        ASSERT_EQ(::setenv("KESTREL_COM_DIR", comDir.path().toLocal8Bit().constData(), 1), 0);
        fake = std::make_unique<FakeModule>(comDir.path(), kCom);
        link = std::make_unique<SerialLink>(
            port, SerialLink::Handlers{[this](std::span<const Byte> frame) { OnFrame(frame); },
                                       [this] { ++linesLost; }, [this] { ++wakes; }});
    }
    void TearDown() override {
        link.reset();
        port.Close();
        fake.reset();
        ::unsetenv("KESTREL_COM_DIR");
    }

    // Reader thread.
    void OnFrame(std::span<const Byte> frame) {
        {
            const std::lock_guard lock(mutex);
            frames.emplace_back(frame.begin(), frame.end());
        }
        if (handOver) {
            link->RunOnUi([this] { shownOn = std::this_thread::get_id(); });
        }
    }
    std::vector<Bytes> Frames() {
        const std::lock_guard lock(mutex);
        return frames;
    }
    // The owner's side: drains what the link handed over.
    bool Drained(const std::function<bool()>& condition) {
        return Eventually(condition, [this] { link->DrainUi(); });
    }

    QTemporaryDir comDir;
    std::unique_ptr<FakeModule> fake;
    CSerialPort port;
    std::unique_ptr<SerialLink> link;
    std::mutex mutex;
    std::vector<Bytes> frames;
    std::atomic<bool> handOver{false};
    std::atomic<int> wakes{0};
    std::atomic<int> linesLost{0};
    std::thread::id shownOn;
};

TEST_F(SerialLinkObject, FramesComeOnTheReaderThreadAndWhatTheyShowRunsOnTheOwners) {
    ASSERT_TRUE(link->Open(kCom));
    handOver = true;
    link->StartReader();
    const Bytes echo = WithCrc(HexBytes("01 05 0013 FF00"));
    fake->Send(Joined({WithBadCrc(HexBytes("01 01 01 0F")), echo}));
    ASSERT_TRUE(Drained([this] { return shownOn == std::this_thread::get_id(); }));
    EXPECT_EQ(Frames(), std::vector<Bytes>{echo});
    EXPECT_GE(wakes.load(), 1);
}

// The owner never drains: the reader waits in its call until the port is closed.
TEST_F(SerialLinkObject, ClosingReleasesAReaderWaitingForTheOwner) {
    ASSERT_TRUE(link->Open(kCom));
    handOver = true;
    link->StartReader();
    fake->Send(WithCrc(HexBytes("01 05 0013 FF00")));
    ASSERT_TRUE(Eventually([this] { return wakes.load() > 0; }));
    const auto start = Clock::now();
    link->Close();
    EXPECT_LT(Since(start), kPrompt);
    EXPECT_FALSE(link->IsOpen());
    EXPECT_FALSE(link->ReaderRunning());
    link->DrainUi();  // the abandoned call never runs
    EXPECT_EQ(shownOn, std::thread::id{});
}

struct LineLostCase {
    const char* name;
    bool closedFirst;  // the owner closes the port before it drains the notice
    int notices;
};

class SerialLineLost : public SerialLinkObject,
                       public ::testing::WithParamInterface<LineLostCase> {};

TEST_P(SerialLineLost, IsToldOnceUnlessThePortWasClosedFirst) {
    ASSERT_TRUE(link->Open(kCom));
    link->StartReader();
    fake->Unplug();
    ASSERT_TRUE(Eventually([this] { return wakes.load() > 0; }));
    if (GetParam().closedFirst) {
        link->Close();
    }
    link->DrainUi();
    link->DrainUi();
    EXPECT_EQ(linesLost.load(), GetParam().notices);
    EXPECT_EQ(link->LostLine(),
              "COM7 was lost (" + port.DevicePath() + " hung up or failed); the port is closed");
}

INSTANTIATE_TEST_SUITE_P(Reader, SerialLineLost,
                         ::testing::Values(LineLostCase{"WhileOpen", false, 1},
                                           LineLostCase{"AfterClose", true, 0}),
                         [](const auto& caseInfo) { return std::string(caseInfo.param.name); });

// A read that waits for more (read setting m > 0) already holds a frame when the line hangs up:
// the frame is handed on before the reader ends.
TEST_F(SerialLinkObject, TheLastFrameBeforeAHangUpIsHandedOn) {
    const int probe = ::open(fake->SlavePath().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    if (probe < 0) GTEST_SKIP() << "the line's input queue cannot be watched";
    ASSERT_TRUE(port.Open(kCom, 9600, 8, 0, 0));
    port.SetReadTimeout(25);  // a 512-byte read waits up to 12.8 s for more
    std::atomic<bool> lost{false};
    CSerialReader reader(
        port,
        [this](std::span<const Byte> frame) {
            const std::lock_guard lock(mutex);
            frames.emplace_back(frame.begin(), frame.end());
        },
        [&lost] { lost.store(true); }, TraceLink{"COM7"});
    const auto queued = [probe] {
        int count = 0;
        return ::ioctl(probe, FIONREAD, &count) == 0 ? count : -1;
    };
    const Bytes echo = WithCrc(HexBytes("01 05 0013 FF00"));
    fake->Send(echo);
    ASSERT_TRUE(Eventually([&] { return queued() == static_cast<int>(echo.size()); }));
    reader.Start();
    // The reader has taken the frame off the line and its read is waiting for more.
    ASSERT_TRUE(Eventually([&] { return queued() == 0; }));
    ::close(probe);
    fake->Unplug();

    ASSERT_TRUE(Eventually([&lost] { return lost.load(); }));
    EXPECT_EQ(Frames(), std::vector<Bytes>{echo});
}

TEST_F(SerialLinkObject, ASearchFindsTheModuleAndLeavesTheReaderRunning) {
    const std::vector<Byte> params = {0x31, 0x01, 0x02, 0x03, 0x16, 0x00, 0, 0, 0, 0};
    fake->SetResponder(ParamResponder(ParamReply(0xFF, params), {}));
    ASSERT_TRUE(link->Open(kCom));
    const auto result = link->Search(0x05, [] { return false; });
    ASSERT_EQ(result.end, SerialLink::SearchResult::End::Found);
    EXPECT_EQ(result.step, 0);
    EXPECT_EQ(result.address, 0x31);
    EXPECT_EQ(result.params, params);
    EXPECT_TRUE(link->ReaderRunning());
    const Bytes echo = WithCrc(HexBytes("31 05 0013 FF00"));
    fake->Send(echo);
    EXPECT_TRUE(Eventually([this] { return !Frames().empty(); }));
}

// A wake left over from a reader stopped before it waited cuts no read of the search short: both
// reads at 1200 baud wait their whole time before the module is asked at 2400.
TEST_F(SerialLinkObject, ALeftOverWakeCutsNoReadOfTheSearchShort) {
    const std::vector<Byte> params = {0x31, 0x01, 0x02, 0x01, 0x16, 0x00, 0, 0, 0, 0};
    fake->SetResponder([reply = ParamReply(0xFF, params)](const FakeModule::Request& request) {
        return request.baud == 2400 && IsFiveRegisterRead(request.bytes) ? reply : Bytes{};
    });
    ASSERT_TRUE(link->Open(kCom));
    port.WakeWaiter();
    const auto start = Clock::now();
    const auto result = link->Search(0x05, [] { return false; });
    ASSERT_EQ(result.end, SerialLink::SearchResult::End::Found);
    EXPECT_EQ(result.step, 1);
    EXPECT_GE(Since(start), milliseconds(2 * 800));  // two reads of 825 ms at 1200 baud
}

// ---- what the search takes from a reply
// ----------------------------------------------------------

using Params = std::vector<Byte>;
const Bytes kThreeRegisters = ParamReply(0x21, {0x21, 0x01, 0x02, 0x00, 0x16, 0x00});
const Params kFromThreeRegisters = {0x21, 0x01, 0x02, 0x00, 0x16, 0x00};

struct ReplyCase {
    const char* name;
    Bytes toFive;   // answer to the first attempt (five registers from unit 0xFF)
    Bytes toThree;  // answer to the second attempt (three registers from our address)
    Params params;  // the block bytes the reply carries
    Byte address;
};

void PrintTo(const ReplyCase& c, std::ostream* out) {
    *out << c.name;
}

class SearchReplies : public SerialLinkObject, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(SearchReplies, TakeWhatTheReplyCarries) {
    const ReplyCase& c = GetParam();
    fake->SetResponder(ParamResponder(c.toFive, c.toThree));
    ASSERT_TRUE(link->Open(kCom));
    const auto result = link->Search(0x01, [] { return false; });

    ASSERT_EQ(result.end, SerialLink::SearchResult::End::Found);
    EXPECT_EQ(result.step, 0);
    EXPECT_EQ(result.params, c.params);
    EXPECT_EQ(result.address, c.address);
    EXPECT_EQ(fake->Requests().size(), c.toThree.empty() ? 1U : 2U);
}

INSTANTIATE_TEST_SUITE_P(
    Search, SearchReplies,
    ::testing::Values(
        ReplyCase{"TenBytesAreTooShort", WithCrc(HexBytes("FF 03 05 31 01 02 03 16")),
                  kThreeRegisters, kFromThreeRegisters, 0x21},
        ReplyCase{"AnExceptionIsNoAnswer", WithCrc(HexBytes("FF 83 02")), kThreeRegisters,
                  kFromThreeRegisters, 0x21},
        ReplyCase{"ExceptionsOfFifteenBytesAreNoAnswer",
                  Joined({WithCrc(HexBytes("FF 83 02")), WithCrc(HexBytes("FF 83 02")),
                          WithCrc(HexBytes("FF 83 02"))}),
                  kThreeRegisters, kFromThreeRegisters, 0x21},
        ReplyCase{"FiveRegistersFillTheBlock",
                  ParamReply(0xFF, {0x31, 0x01, 0x02, 0x03, 0x16, 0x00, 0x03, 0xE8, 0x00, 0x64}),
                  {},
                  Params{0x31, 0x01, 0x02, 0x03, 0x16, 0x00, 0x03, 0xE8, 0x00, 0x64},
                  0x31},
        ReplyCase{"NoMoreThanTenBytesAreCopied",
                  ParamReply(0xFF, {0x51, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}),
                  {},
                  Params{0x51, 1, 2, 3, 4, 5, 6, 7, 8, 9},
                  0x51},
        // Line noise that looks like a reply: the length and the function are right, the CRC
        // is not.
        ReplyCase{"AWrongCrcIsNoAnswer",
                  WithBadCrc(HexBytes("AA 03 0A 00 00 00 00 00 00 00 00 00 00")), kThreeRegisters,
                  kFromThreeRegisters, 0x21},
        ReplyCase{"AReplyCutShortIsNoAnswer", HexBytes("FF 03 0A 41 01 02 03 04 05 06 07"),
                  kThreeRegisters, kFromThreeRegisters, 0x21},
        ReplyCase{"NoiseBeforeAGoodReplyIsSkipped",
                  Joined({HexBytes("00 7F"), ParamReply(0xFF, {0x61, 1, 2, 3, 4, 5, 6, 7, 8, 9})}),
                  {},
                  Params{0x61, 1, 2, 3, 4, 5, 6, 7, 8, 9},
                  0x61}),
    [](const auto& caseInfo) { return std::string(caseInfo.param.name); });

// Nothing answers: the port stays open at the last rate, and a reader that ran before the search
// runs again after it.
TEST_F(SerialLinkObject, ASearchThatFindsNothingRestartsOnlyAReaderThatRan) {
    ASSERT_TRUE(link->Open(kCom));
    for (const bool readerBefore : {true, false}) {
        SCOPED_TRACE(readerBefore ? "reader ran" : "no reader");
        if (readerBefore) link->StartReader();
        const auto result = link->Search(0x01, [] { return false; });
        EXPECT_EQ(result.end, SerialLink::SearchResult::End::NotFound);
        EXPECT_EQ(link->ReaderRunning(), readerBefore);
        EXPECT_TRUE(link->IsOpen());
        EXPECT_EQ(fake->LineBaud(), 115200U);
        link->StopReader();
    }
}

// The search on its own thread tells each rate it tries and its outcome through the hand-over,
// so both run on the owner's thread, in order.
TEST_F(SerialLinkObject, AThreadedSearchTellsItsRatesAndOutcomeOnTheOwnersThread) {
    const std::vector<Byte> params = {0x31, 0x01, 0x02, 0x02, 0x16, 0x00, 0, 0, 0, 0};
    fake->SetResponder([reply = ParamReply(0xFF, params)](const FakeModule::Request& request) {
        return request.baud == 4800 && IsFiveRegisterRead(request.bytes) ? reply : Bytes{};
    });
    ASSERT_TRUE(link->Open(kCom));
    std::vector<std::uint32_t> rates;
    std::optional<SerialLink::SearchResult> outcome;
    bool allOnThisThread = true;
    const auto owner = std::this_thread::get_id();
    link->StartSearch(0x01, {[&](std::uint32_t baud) {
                                 allOnThisThread &= std::this_thread::get_id() == owner;
                                 rates.push_back(baud);
                             },
                             [&](const SerialLink::SearchResult& result) {
                                 allOnThisThread &= std::this_thread::get_id() == owner;
                                 outcome = result;
                             }});
    ASSERT_TRUE(Drained([&outcome] { return outcome.has_value(); }));
    EXPECT_TRUE(allOnThisThread);
    EXPECT_EQ(rates, (std::vector<std::uint32_t>{1200, 2400, 4800}));
    EXPECT_EQ(outcome->end, SerialLink::SearchResult::End::Found);
    EXPECT_EQ(outcome->step, 2);
    EXPECT_EQ(outcome->params, params);
    EXPECT_FALSE(link->Searching());
    EXPECT_TRUE(link->ReaderRunning());
}

// Ending the search cuts its waiting read short (825 ms at 1200 baud): nothing more is sent and
// the outcome never comes.
TEST_F(SerialLinkObject, EndingAThreadedSearchCutsItsReadShort) {
    ASSERT_TRUE(link->Open(kCom));
    bool told = false;
    link->StartSearch(0x01, {{}, [&told](const SerialLink::SearchResult&) { told = true; }});
    ASSERT_TRUE(Eventually([this] { return fake->Requests().size() == 1; }));
    const auto start = Clock::now();
    link->EndSearch();
    EXPECT_LT(Since(start), milliseconds(600));
    EXPECT_FALSE(link->Searching());
    link->DrainUi();  // what the thread handed over was dropped
    EXPECT_FALSE(told);
    EXPECT_EQ(fake->Requests().size(), 1U);
}

TEST_F(SerialLinkObject, ASearchAskedToEndStopsBeforeItsFirstRequest) {
    ASSERT_TRUE(link->Open(kCom));
    link->StartReader();
    const auto result = link->Search(0x01, [] { return true; });
    EXPECT_EQ(result.end, SerialLink::SearchResult::End::Ended);
    EXPECT_FALSE(link->ReaderRunning());
    EXPECT_TRUE(fake->Requests().empty());
}

}  // namespace
