// What the panel puts on the wire after "Advanced" is confirmed, byte for byte and in time,
// measured at a loopback listener that stamps every arrival on its own thread.
#include <QThread>
#include <chrono>

#include "advanced_dlg.h"
#include "codec.h"
#include "device_params.h"
#include "loopback_module.h"
#include "modal_driver.h"
#include "panel_fixture.h"
#include "timed_sink.h"

namespace {

using std::chrono::milliseconds;
using Block = std::array<Byte, 10>;

const Block kModuleBlock = {5, 1, 2, 7, 6, 0, 3, 0xE8, 0, 0};
constexpr int kMbap = 0;
constexpr int kRtu = 1;
constexpr int kReadBytes[] = {24, 16};  // the two parameter reads in each framing

// Everything that arrived, byte by byte with the time each byte came in.
struct Wire {
    QByteArray bytes;
    std::vector<std::chrono::steady_clock::time_point> times;
};

Wire WireOf(const TimedSink& sink) {
    Wire wire;
    for (const auto& arrival : sink.Arrivals()) {
        wire.bytes.append(reinterpret_cast<const char*>(arrival.bytes.data()),
                          static_cast<qsizetype>(arrival.bytes.size()));
        wire.times.insert(wire.times.end(), arrival.bytes.size(), arrival.at);
    }
    return wire;
}

std::vector<Byte> ParamReply(int protocol) {
    std::vector<Byte> pdu = {5, 3, 10};
    pdu.insert(pdu.end(), kModuleBlock.begin(), kModuleBlock.end());
    return EncodeMessage(pdu, protocol == kMbap ? Framing::ModbusTcp : Framing::ModbusRtu, 1);
}

class ParameterWrite : public PanelTest {
  protected:
    void SetUp() override {
        PanelTest::SetUp();
        g_DeviceParams = DeviceParams{};
    }

    // Connects in the given framing, takes the two reads, and lets the module answer them with
    // its block, so that the window works with address 5.
    void ConnectToModule(int protocol) {
        dlg->Item<QComboBox>(IDC_PROTOCOL)->setCurrentIndex(protocol);
        ConnectTo(sink.Port());
        readBytes = kReadBytes[protocol];
        ASSERT_TRUE(WaitFor([&] { return sink.ByteCount() >= std::size_t(readBytes); }));
        sink.Send(ParamReply(protocol));
        ASSERT_TRUE(WaitFor([this] { return Edit(IDC_ADDRESS)->text() == "5"; }));
        ASSERT_EQ(g_DeviceParams.bytes, kModuleBlock);
    }

    // Presses "Advanced", lets the steps fill the dialog, and waits for `count` more bytes.
    Wire Confirm(std::vector<ModalStep> steps, int count) {
        steps.push_back([](CTemplateDialog& d) { Click(d, CAdvancedDlg::IDOK); });
        DriveNextModal(std::move(steps));
        Button(IDC_ADVANCED)->click();
        const auto total = std::size_t(readBytes + count);
        EXPECT_TRUE(WaitFor([&] { return sink.ByteCount() >= total; }));
        Wire wire = WireOf(sink);
        wire.bytes.remove(0, readBytes);
        wire.times.erase(wire.times.begin(), wire.times.begin() + readBytes);
        return wire;
    }

    TimedSink sink;
    int readBytes = 0;
};

struct WriteCase {
    int protocol;
    int frameSize;
    std::vector<const char*> frames;  // four writes, then the two reads
};

void PrintTo(const WriteCase& c, std::ostream* out) {
    *out << (c.protocol ? "RTU" : "MBAP");
}

class ParameterWireCase : public ParameterWrite, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(ParameterWireCase, TheBlockGoesOutInFourPacedWritesThenIsReadBack) {
    const WriteCase& c = GetParam();
    ConnectToModule(c.protocol);
    const Wire wire = Confirm({}, 6 * c.frameSize);
    QByteArray expected;
    for (const char* frame : c.frames) {
        expected += Hex(frame);
    }
    EXPECT_EQ(wire.bytes.toHex(' '), expected.toHex(' '));
    ASSERT_EQ(wire.times.size(), std::size_t(6 * c.frameSize));
    const auto at = [&](int frame) { return wire.times[std::size_t(frame * c.frameSize)]; };
    for (int n = 1; n < 4; ++n) {
        EXPECT_GE(at(n) - at(n - 1), milliseconds(95)) << "write " << n;
        EXPECT_LT(at(n) - at(n - 1), milliseconds(2000)) << "write " << n;
    }
    EXPECT_GE(at(4) - at(3), milliseconds(195));
    EXPECT_LT(at(4) - at(3), milliseconds(3000));
    if (c.protocol == kRtu) {
        EXPECT_GE(at(5) - at(4), milliseconds(195));
    }
    EXPECT_EQ(g_DeviceParams.bytes, Block{});  // cleared for the read's answer
    EXPECT_TRUE(recorder.messages.empty());
    EXPECT_EQ(Button(IDC_CONNECT)->text(), "Disconnect");
}

INSTANTIATE_TEST_SUITE_P(
    Framings, ParameterWireCase,
    ::testing::Values(
        WriteCase{
            kRtu,
            8,
            {"05 06 00 40 02 07 C9 38", "05 06 00 42 03 E8 28 E4", "05 06 00 43 00 00 79 9A",
             "05 06 00 3F 05 01 7A D2", "FF 03 00 3F 00 03 20 19", "FF 03 00 3F 00 05 A0 1B"}},
        WriteCase{kMbap,
                  12,
                  {"00 01 00 00 00 06 05 06 00 40 02 07", "00 01 00 00 00 06 05 06 00 42 03 E8",
                   "00 01 00 00 00 06 05 06 00 43 00 00", "00 01 00 00 00 06 05 06 00 3F 05 01",
                   "00 01 00 00 00 06 FF 03 00 3F 00 03", "00 01 00 00 00 06 FF 03 00 3F 00 05"}}));

// The module listens on its old address until the last write moves it.
TEST_F(ParameterWrite, ANewAddressIsWrittenLastUnderTheOldOne) {
    ConnectToModule(kMbap);
    const Wire wire = Confirm({[](CTemplateDialog& d) {
                                  Type(d, IDC_ADV_SLAVE, QStringLiteral("9"));
                                  Type(d, IDC_ADV_AI2_PERIOD, QStringLiteral("250"));
                              }},
                              72);
    EXPECT_EQ(wire.bytes.left(48).toHex(' '), Hex("000100000006 05 06 0040 0207"
                                                  "000100000006 05 06 0042 03E8"
                                                  "000100000006 05 06 0043 00FA"
                                                  "000100000006 05 06 003F 0901")
                                                  .toHex(' '));
}

// The read that follows the write is compared with what was written, in one line.
TEST_F(ParameterWrite, TheReadBackIsComparedWithWhatWasWritten) {
    ConnectToModule(kMbap);
    Confirm({[](CTemplateDialog& d) { Type(d, IDC_ADV_AI2_PERIOD, QStringLiteral("250")); }}, 72);
    sink.Send(ParamReply(kMbap));  // the module kept AI2 at 0
    EXPECT_TRUE(WaitFor([this] {
        return ReportText(*dlg).startsWith(
            "Parameters written to unit 5, but the module reads "
            "back AI2 initiative upload 0 (written 250)\r\n");
    }));
}

TEST_F(ParameterWrite, CancelSendsNothingAndKeepsTheBlock) {
    ConnectToModule(kRtu);
    DriveNextModal({[](CTemplateDialog& d) {
        Type(d, IDC_ADV_SLAVE, QStringLiteral("9"));
        Click(d, CAdvancedDlg::IDCANCEL);
    }});
    Button(IDC_ADVANCED)->click();
    EXPECT_FALSE(WaitFor([&] { return sink.ByteCount() > std::size_t(readBytes); }, 300));
    EXPECT_EQ(g_DeviceParams.bytes, kModuleBlock);
    EXPECT_EQ(ShownAddress(*dlg), 5);
}

// The pauses between the writes are timers: the window's own timers fire and it repaints
// meanwhile, it says which write goes out, and it takes no command until the read is sent.
TEST_F(ParameterWrite, TheWindowAnswersBetweenThePacedWrites) {
    ConnectToModule(kRtu);
    OperationWatch watch(*dlg);
    DriveNextModal({[](CTemplateDialog& d) { Click(d, CAdvancedDlg::IDOK); }});
    Button(IDC_ADVANCED)->click();
    EXPECT_TRUE(dlg->Dlg().OperationRunning());
    EXPECT_FALSE(Button(IDC_CONNECT)->isEnabled());
    EXPECT_FALSE(Button(IDC_ADVANCED)->isEnabled());
    ASSERT_TRUE(WaitFor([this] { return !dlg->Dlg().OperationRunning(); }));

    EXPECT_GT(watch.ticks, 10);
    EXPECT_GT(watch.paints, 0);
    const QStringList steps = {"Writing parameters 1 of 4...", "Writing parameters 2 of 4...",
                               "Writing parameters 3 of 4...", "Writing parameters 4 of 4...",
                               "Reading the module's parameters..."};
    EXPECT_TRUE(watch.statuses.contains(steps[0])) << watch.statuses.join('|').toStdString();
    EXPECT_EQ(watch.statuses.back(), steps.back());
    for (const QString& status : watch.statuses) {
        EXPECT_TRUE(steps.contains(status)) << status.toStdString();
    }
    EXPECT_TRUE(Button(IDC_CONNECT)->isEnabled());
    EXPECT_FALSE(Button(IDC_ADVANCED)->isEnabled());  // until the module answers the read
    EXPECT_TRUE(WaitFor([&] { return sink.ByteCount() >= std::size_t(readBytes + 48); }));
}

// Closing the window between two writes ends the sequence: nothing more reaches the module.
TEST_F(ParameterWrite, ClosingTheWindowStopsTheWrites) {
    ConnectToModule(kMbap);
    DriveNextModal({[](CTemplateDialog& d) { Click(d, CAdvancedDlg::IDOK); }});
    Button(IDC_ADVANCED)->click();
    ASSERT_TRUE(WaitFor([&] { return sink.ByteCount() >= std::size_t(readBytes + 12); }));
    dlg->close();
    EXPECT_FALSE(dlg->Dlg().OperationRunning());
    WaitFor([] { return false; }, 100);  // what went out before the close has arrived
    const std::size_t atClose = sink.ByteCount();
    EXPECT_LT(atClose, std::size_t(readBytes + 6 * 12));
    EXPECT_FALSE(WaitFor([&] { return sink.ByteCount() > atClose; }, 500));
    EXPECT_FALSE(ReportText(*dlg).contains("parameter writes")) << ReportText(*dlg).toStdString();
}

// The module closes the connection while the operator is still typing: the confirmed block
// is not lost in a write to nowhere, and the report says why nothing was written.
using LinkLoss = PanelTest;

TEST_F(LinkLoss, ATcpLinkLostWhileTheDialogIsOpenWritesNothing) {
    g_DeviceParams = DeviceParams{};
    LoopbackModule module;
    ConnectTo(module.Port());
    ASSERT_TRUE(module.WaitBytes(24));
    const auto reply = ParamReply(kMbap);
    module.Send(QByteArray(reinterpret_cast<const char*>(reply.data()), qsizetype(reply.size())));
    ASSERT_TRUE(WaitFor([this] { return Edit(IDC_ADDRESS)->text() == "5"; }));
    DriveNextModal({[&](CTemplateDialog& d) {
                        Type(d, IDC_ADV_SLAVE, QStringLiteral("9"));
                        module.CloseClient();
                    },
                    [&](CTemplateDialog& d) {
                        ASSERT_TRUE(WaitFor([this] { return !TcpConnected(*dlg); }));
                        Click(d, CAdvancedDlg::IDOK);
                    }});
    Button(IDC_ADVANCED)->click();
    EXPECT_EQ(g_DeviceParams.bytes, DeviceParams{}.bytes);  // gone with the link it came by
    EXPECT_TRUE(
        ReportText(*dlg).startsWith("The TCP link is closed: the parameters were not written\r\n"
                                    "The module closed the connection\r\nTCP Connect closed..."))
        << ReportText(*dlg).toStdString();
    EXPECT_TRUE(recorder.messages.empty()) << recorder.Texts().join("|").toStdString();
}

}  // namespace
