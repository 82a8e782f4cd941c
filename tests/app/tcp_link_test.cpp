#include <unistd.h>

#include <QLabel>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>
#include <QThread>
#include <algorithm>
#include <cstdlib>

#include "device_params.h"
#include "loopback_module.h"
#include "panel_fixture.h"
#include "pty_line.h"
#include "trace.h"

namespace {

class TcpLink : public PanelTest {
  protected:
    // Connects to the loopback module in the given framing and takes the parameter reads, which
    // the module answers with its whole block at address 1 unless told not to.
    void ConnectModule(int protocolIndex = 0, bool answerParamRead = true) {
        dlg->Item<QComboBox>(IDC_PROTOCOL)->setCurrentIndex(protocolIndex);
        ConnectTo(module.Port());
        ASSERT_TRUE(module.WaitConnected());
        ASSERT_TRUE(
            WaitFor([this] { return ReportText(*dlg).startsWith("TCP Client Connected"); }));
        ASSERT_TRUE(module.WaitBytes(protocolIndex == 0 ? 24 : 16));
        module.ClearReceived();
        if (answerParamRead) {
            module.Send(Hex(protocolIndex == 0
                                ? "0001 0000 000D 01 03 0A 01 00 02 07 16 00 00 00 00 00"
                                : "01 03 0A 01 00 02 07 16 00 00 00 00 00 80 9C"));
            ASSERT_TRUE(WaitFor([this] { return Button(IDC_ADVANCED)->isEnabled(); }));
        }
    }
    void Reply(const char* hex) { module.Send(Hex(hex)); }
    // Waits until the panel has taken in everything sent so far (one more frame round trip).
    bool Settled(const std::function<bool()>& condition) { return WaitFor(condition, 3000); }

    LoopbackModule module;
};

TEST_F(TcpLink, ConnectingShowsTheStatesAndReadsTheParameters) {
    dlg->Item<QComboBox>(IDC_PROTOCOL)->setCurrentIndex(0);
    ConnectTo(module.Port());
    EXPECT_EQ(Button(IDC_CONNECT)->text(), "Disconnect");
    EXPECT_TRUE(ReportText(*dlg).startsWith(
        QStringLiteral("TCP client connectting 127.0.0.1:%1...\r\n").arg(module.Port())));
    ASSERT_TRUE(module.WaitBytes(24));
    EXPECT_EQ(module.Received(), Hex("000100000006FF03003F0003 000100000006FF03003F0005"));
    EXPECT_TRUE(ReportText(*dlg).startsWith(
        QStringLiteral("TCP Client Connected to 127.0.0.1 : %1\r\n").arg(module.Port())));
    EXPECT_FALSE(Button(IDC_ADVANCED)->isEnabled());  // until the module answers the read
    EXPECT_FALSE(dlg->Item<QComboBox>(IDC_PROTOCOL)->isEnabled());
    EXPECT_EQ(dlg->ComboSelection(IDC_PROTOCOL), 0);
    module.Send(Hex("0001 0000 0009 05 03 06 05 01 02 07 06 00"));
    module.Send(Hex("0001 0000 000D 05 03 0A 05 01 02 07 06 00 03 E8 00 00"));
    EXPECT_TRUE(WaitFor([this] { return Button(IDC_ADVANCED)->isEnabled(); }));
}

// No selection, or a typed text that names no item, is no selection: RTU both ways.
TEST_F(TcpLink, NoProtocolSelectionMeansRtu) {
    for (const bool typed : {false, true}) {
        SCOPED_TRACE(typed ? "typed text" : "no item");
        LoopbackModule peer;
        dlg->Item<QComboBox>(IDC_PROTOCOL)->setEnabled(true);
        dlg->Item<QComboBox>(IDC_PROTOCOL)->setCurrentIndex(typed ? 0 : -1);
        if (typed) {
            dlg->Item<QComboBox>(IDC_PROTOCOL)->setEditText(QStringLiteral("MODBUS"));
        }
        ConnectTo(peer.Port());
        ASSERT_TRUE(peer.WaitBytes(16));
        EXPECT_EQ(peer.Received().left(8), Hex("FF03003F00032019"));
        peer.ClearReceived();
        Button(IDC_RL1_ON)->click();
        ASSERT_TRUE(peer.WaitBytes(8));
        EXPECT_EQ(peer.Received(), Hex("01050010FF008DFF"));
        peer.Send(Hex("01 05 0011 FF00 DC3F"));  // the link reads RTU too
        EXPECT_TRUE(WaitFor([this] { return dlg->IsChecked(RelayId(1)); }));
        Button(IDC_CONNECT)->click();
    }
}

struct FrameCase {
    int protocol;
    int button;
    Byte address;
    const char* wire;
};

void PrintTo(const FrameCase& c, std::ostream* out) {
    *out << c.wire;
}

class TcpFrames : public TcpLink, public ::testing::WithParamInterface<FrameCase> {};

TEST_P(TcpFrames, ButtonsSendTheirFrame) {
    const FrameCase& c = GetParam();
    ConnectModule(c.protocol);
    TakeAddress(*dlg, c.address);
    Button(c.button)->click();
    Button(c.button)->click();  // the transaction id never changes
    const QByteArray one = Hex(c.wire);
    ASSERT_TRUE(module.WaitBytes(2 * static_cast<int>(one.size())));
    EXPECT_EQ(module.Received(), one + one);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, TcpFrames,
    ::testing::Values(FrameCase{0, IDC_RL1_ON, 1, "000100000006 01050010FF00"},
                      FrameCase{1, IDC_RL1_ON, 1, "01050010FF008DFF"},
                      FrameCase{1, IDC_RL1_ON, 0x20, "20050010FF008B4E"},
                      FrameCase{1, IDC_QUERY_DI, 1, "0101000000043DC9"},
                      FrameCase{1, IDC_QUERY_AI, 1, "01040000000271CB"},
                      FrameCase{0, IDC_RL4_OFF, 7, "000100000006 070500130000"},
                      FrameCase{0, IDC_QUERY_AI, 9, "000100000006 090400000002"}));

TEST_F(TcpLink, NothingIsSentWithoutALink) {
    Button(IDC_RL1_ON)->click();  // no TCP link: nothing sent, and one line says why
    EXPECT_EQ(ReportText(*dlg),
              "RL1 Closed was not sent: no link is in use (connect over TCP "
              "or open a COM port)\r\n");
    ConnectModule();
    Button(IDC_QUERY_AI)->click();
    ASSERT_TRUE(module.WaitBytes(12));
    EXPECT_EQ(module.Received(), Hex("000100000006 010400000002"));
    EXPECT_TRUE(recorder.messages.empty());
}

TEST_F(TcpLink, AClickWhileTheAttemptIsPendingDisconnects) {
    dlg->Item<QCheckBox>(RelayId(1))->setChecked(true);
    Edit(IDC_AI1)->setText("3");
    ASSERT_TRUE(dlg->Dlg().UpdateData(true));
    ConnectTo(module.Port());
    Button(IDC_CONNECT)->click();  // before the event loop has seen the outcome
    EXPECT_EQ(Button(IDC_CONNECT)->text(), "Connect");
    EXPECT_FALSE(TcpConnected(*dlg));
    EXPECT_TRUE(ReportText(*dlg).startsWith("TCP Connect closed...\r\n"));
    EXPECT_FALSE(dlg->IsChecked(RelayId(1)));
    EXPECT_EQ(Edit(IDC_AI1)->text(), "0");
    EXPECT_TRUE(dlg->Item<QComboBox>(IDC_PROTOCOL)->isEnabled());
    EXPECT_FALSE(Button(IDC_ADVANCED)->isEnabled());
}

TEST_F(TcpLink, RepliesReachTheIndicators) {
    ConnectModule();
    Reply("0001 0000 0004 01 01 01 05");      // DI1 and DI3
    Reply("0001 0000 0006 01 05 0012 FF00");  // echo from our unit: RL3
    Reply("0000 0000 0006 02 05 0011 FF00");  // foreign unit: a report of DI2
    Reply("0001 0000 0007 01 04 04 0400 0200");
    ASSERT_TRUE(Settled([this] { return Edit(IDC_AI2)->text() == "2.5"; }));
    EXPECT_TRUE(dlg->IsChecked(DiId(0)));
    EXPECT_TRUE(dlg->IsChecked(DiId(1)));
    EXPECT_TRUE(dlg->IsChecked(DiId(2)));
    EXPECT_FALSE(dlg->IsChecked(DiId(3)));
    EXPECT_TRUE(dlg->IsChecked(RelayId(2)));
    EXPECT_FALSE(dlg->IsChecked(RelayId(1)));
    EXPECT_EQ(Edit(IDC_AI1)->text(), "5");
}

TEST_F(TcpLink, ParameterRepliesSetTheAddressAndTheBlock) {
    g_DeviceParams = DeviceParams{};
    ConnectModule();
    Edit(IDC_PORT)->setText("99");  // typed, not taken over: the next reply shows 4196 again
    Reply("0001 0000 000D 05 03 0A 05 01 02 07 06 00 03 E8 00 00");
    ASSERT_TRUE(Settled([this] { return Edit(IDC_ADDRESS)->text() == "5"; }));
    EXPECT_EQ(g_DeviceParams.bytes, (std::array<Byte, 10>{5, 1, 2, 7, 6, 0, 3, 0xE8, 0, 0}));
    EXPECT_EQ(Edit(IDC_PORT)->text(), QString::number(module.Port()));
    Reply("0001 0000 0009 09 03 06 09 01 02 07 07 00");  // six bytes: 6..9 stay
    ASSERT_TRUE(Settled([this] { return ShownAddress(*dlg) == 9; }));
    EXPECT_EQ(g_DeviceParams.bytes, (std::array<Byte, 10>{9, 1, 2, 7, 7, 0, 3, 0xE8, 0, 0}));
}

TEST_F(TcpLink, A15ByteReplyIsDecodedFromItsSeventhByte) {
    ConnectModule();
    Reply("0001 0000 0009 07 03 06 07 00 03 01 16 00");
    ASSERT_TRUE(Settled([this] { return ShownAddress(*dlg) == 7; }));
}

// A module streaming replies without a pause: each turn of the event loop takes in a bounded
// share of them, so timers and input keep their turn; the fields are refreshed at most once per
// frame of the screen and end showing the last reply.
TEST_F(TcpLink, AFloodIsTakenInTurnsAndEndsShowingTheLastReply) {
    ConnectModule();
    constexpr int kReplies = 40000;  // 13 bytes each: about 520 KB
    QByteArray flood;
    for (int n = 0; n < kReplies - 1; ++n) {
        flood += Hex(n % 2 == 0 ? "0001 0000 0007 01 04 04 0100 0200"
                                : "0001 0000 0007 01 04 04 0200 0100");
    }
    flood += Hex("0001 0000 0007 01 04 04 0400 0300");  // the last: AI1 5, AI2 3.75
    int frames = 0;
    int framesAtLastTurn = 0;
    int mostPerTurn = 0;
    const TraceSubscription received([&frames](const TraceEvent& event) {
        frames += event.link.name == "TCP" && event.direction == "rx" ? 1 : 0;
    });
    QTimer turn;  // a zero timer fires once per turn of the event loop
    QObject::connect(&turn, &QTimer::timeout, [&] {
        mostPerTurn = std::max(mostPerTurn, frames - framesAtLastTurn);
        framesAtLastTurn = frames;
    });
    turn.start(0);
    int refreshes = 0;
    QObject::connect(Edit(IDC_AI1), &QLineEdit::textChanged, [&refreshes] { ++refreshes; });
    QElapsedTimer clock;
    clock.start();
    module.Send(flood);
    ASSERT_TRUE(WaitFor([&] { return frames == kReplies && Edit(IDC_AI1)->text() == "5"; }, 30000));
    const qint64 tookMs = clock.elapsed();
    // 16 KiB per read, and a turn may see the socket's notice and the read left over from the
    // turn before: two reads' worth of 13-byte replies, and one cut across a read.
    EXPECT_LE(mostPerTurn, 2 * (16 * 1024 / 13 + 1));
    EXPECT_LE(refreshes, tookMs / 16 + 2);
    EXPECT_EQ(Edit(IDC_AI2)->text(), "3.75");
}

TEST_F(TcpLink, ThePeerClosingDropsTheLink) {
    ConnectModule();
    dlg->Item<QCheckBox>(DiId(0))->setChecked(true);
    module.CloseClient();
    ASSERT_TRUE(Settled([this] { return !TcpConnected(*dlg); }));
    EXPECT_TRUE(ReportText(*dlg).contains("\r\nTCP Connect closed...\r\n"));
    EXPECT_EQ(Button(IDC_CONNECT)->text(), "Connect");
    EXPECT_FALSE(dlg->IsChecked(DiId(0)));
    EXPECT_TRUE(dlg->Item<QComboBox>(IDC_PROTOCOL)->isEnabled());
}

TEST_F(TcpLink, AFailedAttemptSaysWhyAndWaitsForTheOperator) {
    QTcpServer closed;
    ASSERT_TRUE(closed.listen(QHostAddress::LocalHost));
    const quint16 port = closed.serverPort();
    closed.close();  // nothing listens there now: refused
    ConnectTo(port);
    ASSERT_TRUE(Settled([this] { return ReportText(*dlg).contains("failed"); }));
    EXPECT_TRUE(ReportText(*dlg).startsWith(
        QStringLiteral("TCP connect to 127.0.0.1:%1 failed: ").arg(port)));
    EXPECT_EQ(Button(IDC_CONNECT)->text(), "Disconnect");
    EXPECT_TRUE(dlg->Item<QComboBox>(IDC_PROTOCOL)->isEnabled());
    EXPECT_FALSE(Button(IDC_ADVANCED)->isEnabled());
    Button(IDC_CONNECT)->click();
    EXPECT_EQ(Button(IDC_CONNECT)->text(), "Connect");
}

// ---- what the operator is told ------------------------------------------------------------------

TEST_F(TcpLink, ARefusedFieldEndsTheClickWhetherClickedOrEntered) {
    Edit(IDC_IP)->setText(QStringLiteral("127.0.0.1"));
    for (const bool enter : {false, true}) {
        SCOPED_TRACE(enter ? "Enter" : "click");
        Edit(IDC_PORT)->setText(QStringLiteral("abc"));
        if (enter) {
            QTest::keyClick(Edit(IDC_PORT), Qt::Key_Return);
        } else {
            Button(IDC_CONNECT)->click();
        }
        EXPECT_FALSE(TcpConnected(*dlg));
        EXPECT_EQ(Button(IDC_CONNECT)->text(), "Connect");
        EXPECT_TRUE(ReportText(*dlg).isEmpty());
        EXPECT_EQ(Edit(IDC_PORT)->text(), "abc");
    }
    EXPECT_EQ(recorder.messages.size(), 2U);
    EXPECT_FALSE(module.WaitConnected(100));
}

struct WatchCase {
    const char* name;
    int protocol;
    int button;
    const char* reply;     // what the module answers, if anything
    const char* expected;  // the report line it leads to; empty: none
};

const WatchCase kWatchCases[] = {
    {"echo", 0, IDC_RL1_ON, "0001 0000 0006 01 05 0010 FF00", ""},
    {"no echo", 0, IDC_RL1_ON, nullptr, "No reply from unit 1 to RL1 Closed"},
    {"echo of another relay", 0, IDC_RL1_ON + 3, "0001 0000 0006 01 05 0010 FF00",
     "No reply from unit 1 to RL2 Disconnect"},
    {"DI report is no reply", 0, IDC_QUERY_DI, "0000 0000 0006 02 05 0011 FF00",
     "No reply from unit 1 to query DI"},
    {"AI reply", 0, IDC_QUERY_AI, "0001 0000 0007 01 04 04 0400 0200", ""},
    {"exception", 0, IDC_QUERY_AI, "0001 0000 0003 01 84 02",
     "Unit 1 refused query AI: exception 2 (illegal data address)"},
    {"RTU exception", 1, IDC_RL1_ON, "01 85 04 4353",
     "Unit 1 refused RL1 Closed: exception 4 (server device failure)"},
    {"RTU no reply", 1, IDC_QUERY_DI, nullptr, "No reply from unit 1 to query DI"},
};

class TcpReplyWatch : public TcpLink, public ::testing::WithParamInterface<WatchCase> {};

// Requests go out at once, as always; a second later the operator learns which went unanswered.
TEST_P(TcpReplyWatch, TellsOfRequestsUnansweredOrRefused) {
    const WatchCase& c = GetParam();
    ConnectModule(c.protocol);
    QElapsedTimer clock;
    clock.start();
    Button(c.button)->click();
    ASSERT_TRUE(module.WaitBytes(c.protocol == 0 ? 12 : 8));
    if (c.reply) {
        Reply(c.reply);
    }
    const QString before = ReportText(*dlg);
    WaitFor([&] { return ReportText(*dlg) != before; }, 1800);
    const QString added = ReportText(*dlg).left(ReportText(*dlg).size() - before.size());
    if (*c.expected == '\0') {
        EXPECT_TRUE(added.isEmpty()) << added.toStdString();
        return;
    }
    EXPECT_EQ(added, QString::fromLatin1(c.expected) + "\r\n");
    if (!c.reply) {
        EXPECT_GE(clock.elapsed(), 990);
    }
}

INSTANTIATE_TEST_SUITE_P(Requests, TcpReplyWatch, ::testing::ValuesIn(kWatchCases),
                         [](const auto& param) {
                             std::string name = param.param.name;
                             std::replace(name.begin(), name.end(), ' ', '_');
                             return name;
                         });

// The link says how the module ended the connection; the window drops the link first and shows
// the reason above it.
TEST_F(TcpLink, ShowsWhyTheModuleEndedTheConnectionAboveTheDrop) {
    ConnectModule();
    module.ResetClient();
    ASSERT_TRUE(Settled([this] { return !TcpConnected(*dlg); }));
    EXPECT_TRUE(ReportText(*dlg).startsWith(
        QStringLiteral("The module reset the connection\r\nTCP Connect closed...\r\n")))
        << ReportText(*dlg).toStdString();
}

TEST_F(TcpLink, APercentSignInTheHostIsShownAsTyped) {
    Edit(IDC_IP)->setText(QStringLiteral("::1%2"));
    Edit(IDC_PORT)->setText(QString::number(module.Port()));
    Button(IDC_CONNECT)->click();
    EXPECT_TRUE(ReportText(*dlg).startsWith(
        QStringLiteral("TCP client connectting ::1%2:%1...\r\n").arg(module.Port())));
}

// While the COM port is the link in use, the window shows its module only: the network module's
// replies and reports, and its link closing, change no indicator, value or address.
TEST_F(TcpLink, WhileTheComPortIsInUseTcpChangesNothing) {
    ConnectModule();
    int frames = 0;
    const TraceSubscription received([&frames](const TraceEvent& event) {
        frames += event.link.name == "TCP" && event.direction == "rx" ? 1 : 0;
    });
    QTemporaryDir comDir;
    PtyLine line;
    ASSERT_TRUE(line.Publish(comDir.path().toStdString(), 7)) << line.Error();
    qputenv("KESTREL_COM_DIR", QFile::encodeName(comDir.path()));
    dlg->Item<QComboBox>(IDC_COM)->setCurrentIndex(6);
    Button(IDC_SERIAL_OPEN)->click();
    qunsetenv("KESTREL_COM_DIR");
    ASSERT_TRUE(ComOpen(*dlg));
    dlg->Item<QCheckBox>(RelayId(3))->setChecked(true);  // what the serial module showed
    Edit(IDC_AI1)->setText("1.25");
    ASSERT_TRUE(dlg->Dlg().UpdateData(true));
    Reply("0001 0000 0007 01 04 04 0400 0200 | 0001 0000 0006 01 05 0010 FF00");
    Reply("0001 0000 0004 01 01 01 0F | 0001 0000 000D 07 03 0A 07 01 02 07 06 00 03 E8 00 00");
    ASSERT_TRUE(Settled([&frames] { return frames == 4; }));
    module.CloseClient();
    ASSERT_TRUE(Settled([this] { return !TcpConnected(*dlg); }));
    EXPECT_EQ(Edit(IDC_AI1)->text(), "1.25");
    EXPECT_EQ(Edit(IDC_ADDRESS)->text(), "1");
    EXPECT_TRUE(dlg->IsChecked(RelayId(3)));
    EXPECT_FALSE(dlg->IsChecked(RelayId(0)) || dlg->IsChecked(DiId(0)));
}

// A parameter read that does not bring the whole block ends in one line, and "Advanced" stays off;
// a block that reports address 0 is not taken.
struct ParamReadCase {
    const char* name;
    const char* replies;  // what the module answers, all at once
    const char* line;
    int address;
};

const ParamReadCase kParamReadCases[] = {
    {"refused", "0001 0000 0003 FF 83 02 | 0001 0000 0003 FF 83 02",
     "Unit 255 refused the parameter read: exception 2 (illegal data address)", 1},
    {"no reply", "", "No reply to the parameter read", 1},
    {"three registers only", "0001 0000 0009 05 03 06 05 01 02 07 06 00",
     "No reply to the read of all five parameter registers: \"Advanced\" stays off", 5},
    {"address 0",
     "0001 0000 0009 00 03 06 00 01 02 07 06 00 | "
     "0001 0000 000D 00 03 0A 00 01 02 07 06 00 03 E8 00 00",
     "The module reports address 0, the broadcast address, which is no module's: requests still "
     "go to unit 1 and \"Advanced\" stays off",
     1},
};

class TcpParamRead : public TcpLink, public ::testing::WithParamInterface<ParamReadCase> {};

TEST_P(TcpParamRead, EndsInOneLineUnlessTheWholeBlockCame) {
    const ParamReadCase& c = GetParam();
    ConnectModule(0, false);
    const QString before = ReportText(*dlg);
    Reply(c.replies);
    ASSERT_TRUE(WaitFor([&] { return ReportText(*dlg) != before; }, 1800));
    EXPECT_EQ(ReportText(*dlg).chopped(before.size()), QString::fromLatin1(c.line) + "\r\n");
    EXPECT_FALSE(Button(IDC_ADVANCED)->isEnabled());
    EXPECT_EQ(ShownAddress(*dlg), c.address);
}

INSTANTIATE_TEST_SUITE_P(Replies, TcpParamRead, ::testing::ValuesIn(kParamReadCases),
                         [](const auto& param) {
                             std::string name = param.param.name;
                             std::replace(name.begin(), name.end(), ' ', '_');
                             return name;
                         });

// ---- the parameter block belongs to the module it came from
// --------------------------------------

TEST_F(TcpLink, AdvancedOffersOnlyTheBlockOfTheModuleConnectedNow) {
    ConnectModule();
    Reply("0001 0000 000D 05 03 0A 05 01 02 07 06 00 03 E8 00 00");
    ASSERT_TRUE(Settled([this] { return Button(IDC_ADVANCED)->isEnabled(); }));
    Button(IDC_CONNECT)->click();
    EXPECT_EQ(g_DeviceParams.bytes, (std::array<Byte, 10>{}));
    LoopbackModule silent;  // a second module that never answers the parameter read
    ConnectTo(silent.Port());
    ASSERT_TRUE(silent.WaitBytes(24));
    ASSERT_TRUE(Settled([this] { return ReportText(*dlg).startsWith("TCP Client"); }));
    EXPECT_FALSE(Button(IDC_ADVANCED)->isEnabled());
    EXPECT_EQ(g_DeviceParams.bytes, (std::array<Byte, 10>{}));
}

// A reply that claims parameters it does not carry leaves the address alone: later requests
// never go to unit 0, which every module obeys.
TEST_F(TcpLink, AShortParameterReplyChangesNothing) {
    ConnectModule();
    Reply("0001 0000 000D 05 03 0A 05 01 02 07 06 00 03 E8 00 00");
    ASSERT_TRUE(Settled([this] { return ShownAddress(*dlg) == 5; }));
    Reply("0001 0000 0002 07 03");
    Reply("0001 0000 0003 07 03 00");
    Reply("0001 0000 0006 05 05 0010 FF00");  // an echo marks that all of it was taken in
    ASSERT_TRUE(Settled([this] { return dlg->IsChecked(RelayId(0)); }));
    EXPECT_EQ(ShownAddress(*dlg), 5);
    Button(IDC_QUERY_AI)->click();
    ASSERT_TRUE(module.WaitBytes(12));
    EXPECT_EQ(module.Received(), Hex("000100000006 050400000002"));
}

}  // namespace

namespace {

TEST_F(TcpLink, NothingIsTracedWithoutTheVariable) {
    ASSERT_EQ(std::getenv("KESTREL_TRACE"), nullptr);
    std::fflush(stderr);
    const int saved = dup(STDERR_FILENO);
    QTemporaryFile file;
    ASSERT_TRUE(file.open());
    dup2(file.handle(), STDERR_FILENO);
    ConnectModule();
    Reply("A5 0001 0000 0006 01 05 0010 FF00");
    const bool checked = Settled([this] { return dlg->IsChecked(RelayId(0)); });
    std::fflush(stderr);
    dup2(saved, STDERR_FILENO);
    close(saved);
    EXPECT_TRUE(checked);
    file.seek(0);
    EXPECT_FALSE(file.readAll().contains(" TCP "));
}

}  // namespace
