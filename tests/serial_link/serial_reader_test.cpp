// The reader of the COM port after a search: replies reaching the window, damaged frames, a
// module that floods the line, a line that goes away, and the window closing under the reader.
#include <QCoreApplication>
#include <QEvent>
#include <optional>

#include "device_params.h"
#include "serial_link_fixture.h"

namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

constexpr std::array<Byte, 10> kParams = {0x01, 0x00, 0x02, 0x00, 0x16, 0x00, 0, 0, 0, 0};
constexpr milliseconds kPrompt{1000};  // generous: the machine is shared
constexpr int kRelay3On = 1006;

milliseconds Since(Clock::time_point start) {
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
}

bool DiAre(const KestrelWindow& dlg, std::array<bool, 4> expected) {
    for (std::size_t n = 0; n < 4; ++n) {
        if (dlg.IsChecked(DiId(n)) != expected[n]) return false;
    }
    return true;
}

class SimReader : public SerialLinkTest, public ::testing::WithParamInterface<QStringList> {};

TEST_P(SimReader, RepliesReachTheIndicatorsAndTheAnalogFields) {
    auto& module = StartSim(QStringList{"--baud", "1200"} + GetParam());
    ASSERT_TRUE(module.Started());
    OpenCom();
    Search();
    ASSERT_TRUE(Found()) << ReportText(*dlg).toStdString();

    module.Command("di 2 1");
    module.Command("di 4 1");
    Button(IDC_QUERY_DI)->click();
    EXPECT_TRUE(WaitFor([this] { return DiAre(*dlg, {false, true, false, true}); }));

    Button(kRelay3On)->click();
    EXPECT_TRUE(WaitFor([this] { return dlg->IsChecked(RelayId(2)); }));

    module.Command("ai 1 256");
    module.Command("ai 2 768");
    Button(IDC_QUERY_AI)->click();
    EXPECT_TRUE(WaitFor([this] { return Edit(IDC_AI2)->text() == "3.75"; }));
    EXPECT_EQ(Edit(IDC_AI1)->text(), "1.25");
    EXPECT_TRUE(recorder.messages.empty());
}

INSTANTIATE_TEST_SUITE_P(Serial, SimReader,
                         ::testing::Values(QStringList{}, QStringList{"--split", "3:20"}),
                         [](const auto& caseInfo) {
                             return caseInfo.param.isEmpty() ? std::string("WholeReplies")
                                                             : std::string("RepliesInPieces");
                         });

TEST_F(SerialLinkTest, DamagedFramesAreDroppedAndTheNextGoodOneIsTaken) {
    ConnectFake(kParams);
    fake->Send(Joined({WithBadCrc(HexBytes("01 05 0012 FF00")),  // RL3: must not show
                       WithCrc(HexBytes("01 01 01 09")),         // DI1 and DI4
                       HexBytes("00 7F 33 01"),                  // line noise
                       WithCrc(HexBytes("09 05 0011 FF00")),     // RL2, from another unit
                       WithBadCrc(HexBytes("01 04 04 0400 0400")),
                       WithCrc(HexBytes("01 04 04 0200 0100"))}));
    ASSERT_TRUE(WaitFor([this] { return Edit(IDC_AI2)->text() == "1.25"; }));
    EXPECT_EQ(Edit(IDC_AI1)->text(), "2.5");
    EXPECT_TRUE(DiAre(*dlg, {true, false, false, true}));
    EXPECT_TRUE(dlg->IsChecked(RelayId(1)));
    EXPECT_FALSE(dlg->IsChecked(RelayId(2)));
}

// A burst of analog replies refreshes the fields at most once per frame of the screen, and the
// last refresh shows the last reply.
TEST_F(SerialLinkTest, ABurstOfAnalogRepliesEndsShowingTheLastOne) {
    ConnectFake(kParams);
    Bytes burst;
    for (int n = 0; n < 3000; ++n) {
        burst = Joined(
            {burst, WithCrc(HexBytes(n % 2 == 0 ? "01 04 04 0200 0100" : "01 04 04 0100 0200"))});
    }
    burst = Joined({burst, WithCrc(HexBytes("01 04 04 0400 0300"))});
    int refreshes = 0;
    QObject::connect(Edit(IDC_AI1), &QLineEdit::textChanged, [&refreshes] { ++refreshes; });
    const auto start = Clock::now();
    fake->Send(burst);
    ASSERT_TRUE(WaitFor([this] { return Edit(IDC_AI1)->text() == "5"; }, 30000));
    EXPECT_EQ(Edit(IDC_AI2)->text(), "3.75");
    EXPECT_LE(refreshes, Since(start).count() / 16 + 2);
}

// The search reads 32 bytes at most; a frame behind them is the first thing the reader finds.
TEST_F(SerialLinkTest, AFrameWaitingWhenTheReaderStartsIsTaken) {
    const Bytes reply = ParamReply(0xFF, {kParams.begin(), kParams.end()});
    PlugFake().SetResponder(ParamResponder(
        Joined({reply, Bytes(32 - reply.size(), 0x00), WithCrc(HexBytes("01 01 01 06"))}), {}));
    OpenCom();
    Search();
    ASSERT_TRUE(Found());
    EXPECT_TRUE(WaitFor([this] { return DiAre(*dlg, {false, true, true, false}); }));
}

TEST_F(SerialLinkTest, AParameterReplyIsIgnoredByTheReader) {
    ConnectFake(kParams);
    const auto before = g_DeviceParams.bytes;
    fake->Send(Joined(
        {ParamReply(0x07, {7, 1, 1, 1, 1, 1, 1, 1, 1, 1}), WithCrc(HexBytes("01 05 0013 FF00"))}));
    ASSERT_TRUE(WaitFor([this] { return dlg->IsChecked(RelayId(3)); }));
    EXPECT_EQ(g_DeviceParams.bytes, before);
    EXPECT_EQ(ShownAddress(*dlg), 1);
}

TEST_F(SerialLinkTest, ClosingWhileTheModuleFloodsReturnsPromptly) {
    ConnectFake(kParams);
    fake->StartFlood(Joined({WithCrc(HexBytes("01 05 0010 FF00")), WithCrc(HexBytes("01 01 01 0F")),
                             WithCrc(HexBytes("01 04 04 0100 0200"))}));
    ASSERT_TRUE(WaitFor([this] { return fake->FloodRounds() > 4 && dlg->IsChecked(DiId(3)); }));

    const auto start = Clock::now();
    Button(IDC_SERIAL_OPEN)->click();
    EXPECT_LT(Since(start), kPrompt);
    EXPECT_FALSE(ComOpen(*dlg));
    EXPECT_EQ(Button(IDC_SERIAL_OPEN)->text(), "Open");
    EXPECT_EQ(NetworkLink(*dlg), 1);
    fake->StopFlood();
    QApplication::processEvents();  // calls the reader left behind run now, and do nothing
    EXPECT_TRUE(recorder.messages.empty());

    OpenCom();  // the line is still usable
    EXPECT_TRUE(ComOpen(*dlg));
}

TEST_F(SerialLinkTest, UnpluggingClosesThePortWithOneReportLine) {
    ConnectFake(kParams);
    fake->Unplug();
    ASSERT_TRUE(WaitFor([this] { return !ComOpen(*dlg); }));
    QApplication::processEvents();
    EXPECT_EQ(
        FirstReportLine(),
        QStringLiteral("COM7 was lost (%1 hung up or failed); the port is closed").arg(ComPath()));
    EXPECT_EQ(ReportText(*dlg).count(QStringLiteral("was lost")), 1);
    EXPECT_TRUE(recorder.messages.empty());
    EXPECT_EQ(NetworkLink(*dlg), 1);
    EXPECT_EQ(Button(IDC_SERIAL_OPEN)->text(), "Open");
    EXPECT_FALSE(Button(IDC_SERIAL_SEARCH)->isEnabled());
    EXPECT_FALSE(Button(IDC_ADVANCED)->isEnabled());
}

// The line goes away, but the operator closes the port and opens another before the window has
// heard of it: the late notice must not close the port now open.
TEST_F(SerialLinkTest, ALateLineLostNoticeLeavesANewlyOpenedPortAlone) {
    ConnectFake(kParams);
    FakeModule second(comDir.path(), 8);
    const int threadsWithReader = ThreadCount();
    fake->Unplug();
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (ThreadCount() >= threadsWithReader && Clock::now() < deadline) {
        std::this_thread::yield();  // the window's thread must not run the notice yet
    }
    ASSERT_LT(ThreadCount(), threadsWithReader);  // the reader has ended on the hang-up
    Button(IDC_SERIAL_OPEN)->click();             // close
    OpenCom(8);
    ASSERT_TRUE(ComOpen(*dlg));

    QCoreApplication::sendPostedEvents();  // the notice was posted before the reader ended
    QApplication::processEvents();
    EXPECT_TRUE(ComOpen(*dlg));
    EXPECT_EQ(Button(IDC_SERIAL_OPEN)->text(), "Close");
    EXPECT_FALSE(ReportText(*dlg).contains(QStringLiteral("was lost")));
}

// ---- the window closing under the reader --------------------------------------------------------

// Holds back the wake-ups of the window's thread (socket notifications), those that have the
// window take what the reader hands it among them, so the reader is left waiting on a call.
class HoldCalls : public QObject {
  public:
    HoldCalls() { QCoreApplication::instance()->installEventFilter(this); }
    ~HoldCalls() override { QCoreApplication::instance()->removeEventFilter(this); }
    int held = 0;

  protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() != QEvent::SockAct) return false;
        ++held;
        return true;
    }
};

enum class CloseBy { Destroying, Rejecting };

struct CloseCase {
    const char* name;
    CloseBy by;
    bool readerWaitsOnWindow;
};

void PrintTo(const CloseCase& c, std::ostream* out) {
    *out << c.name;
}

class WindowClose : public SerialLinkTest, public ::testing::WithParamInterface<CloseCase> {};

TEST_P(WindowClose, ReturnsPromptlyWithoutADeadlock) {
    const CloseCase& c = GetParam();
    ConnectFake(kParams);
    std::optional<HoldCalls> hold;
    if (c.readerWaitsOnWindow) {
        hold.emplace();
        fake->Send(WithCrc(HexBytes("01 01 01 0F")));
        ASSERT_TRUE(WaitFor([&hold] { return hold->held > 0; }));
    }
    const auto start = Clock::now();
    if (c.by == CloseBy::Destroying) {
        dlg.reset();
    } else {
        dlg->reject();
        EXPECT_FALSE(AnyComPortOpen());
        EXPECT_FALSE(dlg->IsChecked(DiId(0)));
        hold.reset();
    }
    EXPECT_LT(Since(start), kPrompt);
    QApplication::processEvents();
}

INSTANTIATE_TEST_SUITE_P(Serial, WindowClose,
                         ::testing::Values(CloseCase{"DestroyedIdle", CloseBy::Destroying, false},
                                           CloseCase{"DestroyedMidCall", CloseBy::Destroying, true},
                                           CloseCase{"RejectedIdle", CloseBy::Rejecting, false},
                                           CloseCase{"RejectedMidCall", CloseBy::Rejecting, true}),
                         [](const auto& caseInfo) { return std::string(caseInfo.param.name); });

// Closing the window between two of the paced parameter writes: the port is closed at once, the
// module gets no further request, and no completion box is shown.
TEST_F(SerialLinkTest, ClosingTheWindowDuringTheParameterWriteWritesNoMore) {
    ConnectFake(kParams);
    const std::size_t before = fake->Requests().size();
    CloseNextModal({}, true);
    Button(IDC_ADVANCED)->click();
    ASSERT_TRUE(WaitFor([&] { return fake->Requests().size() == before + 1; }));
    EXPECT_EQ(fake->Requests().back().bytes, WithCrc(HexBytes("01 06 0040 0200")));
    dlg->close();
    EXPECT_FALSE(AnyComPortOpen());
    EXPECT_FALSE(dlg->Dlg().OperationRunning());
    EXPECT_FALSE(WaitFor([&] { return fake->Requests().size() > before + 1; }, 400));
    EXPECT_TRUE(recorder.messages.empty()) << recorder.Texts().join('|').toStdString();
}

}  // namespace
