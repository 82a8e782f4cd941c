// Opening and closing the COM port from the window, and which link the buttons then use.
#include <unistd.h>

#include "device_params.h"
#include "loopback_module.h"
#include "serial_link_fixture.h"

namespace {

using Params = std::array<Byte, 10>;

Params WithMarker() {
    Params marked;
    marked.fill(SerialLinkTest::kMarker);
    return marked;
}

enum class Behind { NoSelection, DanglingLink, Unmapped, AnotherOpener };

struct OpenFailure {
    const char* name;
    Behind behind;
    int com;
    const char* reason;  // empty: any reason the system gives
    bool mapped;         // the report names the mapped path rather than "no device"
};

void PrintTo(const OpenFailure& c, std::ostream* out) {
    *out << c.name;
}

class SerialOpenFailure : public SerialLinkTest, public ::testing::WithParamInterface<OpenFailure> {
  protected:
    // Puts behind the COM number what the case calls for and selects it.
    void Prepare(const OpenFailure& c) {
        switch (c.behind) {
            case Behind::NoSelection:
                break;
            case Behind::DanglingLink:
                ASSERT_EQ(::symlink("/nonexistent/kestrel-tty", ComPath(c.com).toLocal8Bit()), 0);
                break;
            case Behind::Unmapped:
                break;
            case Behind::AnotherOpener:
                PlugFake(c.com);
                ASSERT_TRUE(other.Open(c.com, 9600, 8, 0, 0));
                break;
        }
        dlg->Item<QComboBox>(IDC_COM)->setCurrentIndex(c.com - 1);
    }

    CSerialPort other;
};

TEST_P(SerialOpenFailure, WarnsOnceReportsWhyAndStaysOnTheNetworkLink) {
    const OpenFailure& c = GetParam();
    Prepare(c);
    Button(IDC_ADVANCED)->setEnabled(true);  // as the TCP module's block left it
    Button(IDC_SERIAL_OPEN)->click();

    ASSERT_EQ(recorder.messages.size(), 1U);
    EXPECT_EQ(recorder.messages[0].text, "Open com failed!");
    EXPECT_EQ(recorder.messages[0].icon, MessageIcon::Warning);
    const QString head = QStringLiteral("Open COM%1 failed: %2").arg(c.com).arg(c.reason);
    const QString tail =
        c.mapped ? QStringLiteral(" (%1)").arg(ComPath(c.com)) : QStringLiteral(" (no device)");
    EXPECT_TRUE(FirstReportLine().startsWith(head)) << FirstReportLine().toStdString();
    EXPECT_TRUE(FirstReportLine().endsWith(tail)) << FirstReportLine().toStdString();
    EXPECT_EQ(ReportText(*dlg).count(QStringLiteral("\r\n")), 1);
    EXPECT_EQ(Button(IDC_SERIAL_OPEN)->text(), "Open");
    EXPECT_FALSE(Button(IDC_SERIAL_SEARCH)->isEnabled());
    EXPECT_FALSE(Button(IDC_ADVANCED)->isEnabled());
    EXPECT_EQ(g_DeviceParams.bytes, WithMarker());  // the serial link took nothing over
    EXPECT_EQ(NetworkLink(*dlg), 1);
    EXPECT_FALSE(ComOpen(*dlg));
}

INSTANTIATE_TEST_SUITE_P(
    Open, SerialOpenFailure,
    ::testing::Values(
        OpenFailure{"NoSelection", Behind::NoSelection, 0, "no device is mapped to COM0", false},
        OpenFailure{"DanglingLink", Behind::DanglingLink, 9, "No such file or directory", true},
        OpenFailure{"Unmapped", Behind::Unmapped, 200, "no device is mapped to COM200", false},
        OpenFailure{"AnotherOpener", Behind::AnotherOpener, SerialLinkTest::kCom, "", true}),
    [](const auto& caseInfo) { return std::string(caseInfo.param.name); });

TEST_F(SerialLinkTest, OpeningSwitchesToTheSerialLinkAndForgetsTheParameterBlock) {
    PlugFake();
    for (const bool advanced : {false, true}) {
        Button(IDC_ADVANCED)->setEnabled(advanced);
        g_DeviceParams.bytes = WithMarker();
        OpenCom();
        EXPECT_EQ(Button(IDC_SERIAL_OPEN)->text(), "Close");
        EXPECT_TRUE(Button(IDC_SERIAL_SEARCH)->isEnabled());
        EXPECT_FALSE(Button(IDC_ADVANCED)->isEnabled());
        EXPECT_EQ(g_DeviceParams.bytes, Params{});
        EXPECT_EQ(NetworkLink(*dlg), 0);
        EXPECT_EQ(fake->LineBaud(), 1200U);
        Button(IDC_SERIAL_OPEN)->click();
        EXPECT_EQ(Button(IDC_SERIAL_OPEN)->text(), "Open");
        EXPECT_FALSE(Button(IDC_SERIAL_SEARCH)->isEnabled());
        EXPECT_FALSE(Button(IDC_ADVANCED)->isEnabled());
        EXPECT_EQ(NetworkLink(*dlg), 1);
    }
    EXPECT_TRUE(recorder.messages.empty());
    EXPECT_TRUE(ReportText(*dlg).isEmpty());
}

// The TCP module's block goes when the serial link takes over; the serial module's block, read
// by the search, goes when the port closes.
TEST_F(SerialLinkTest, TheParameterBlockBelongsToTheLinkItWasReadFrom) {
    const Params serialParams = {0x21, 1, 2, 3, 0x16, 0, 0, 0, 0, 0};
    LoopbackModule module;
    PlugFake().SetResponder(
        ParamResponder(ParamReply(0xFF, {serialParams.begin(), serialParams.end()}), {}));
    ConnectTo(module.Port());
    ASSERT_TRUE(module.WaitBytes(24));  // the two parameter reads of the connect
    module.Send(Hex("0001 0000 000D 05 03 0A 05 01 02 07 06 00 03 E8 00 00"));
    ASSERT_TRUE(WaitFor([] { return g_DeviceParams.bytes[7] == 0xE8; }));
    ASSERT_TRUE(Button(IDC_ADVANCED)->isEnabled());

    OpenCom();
    EXPECT_FALSE(Button(IDC_ADVANCED)->isEnabled());
    EXPECT_EQ(g_DeviceParams.bytes, Params{});
    EXPECT_EQ(dlg->Dlg().ParamBlockOrigin(), ParamOrigin::None);

    Search();
    ASSERT_TRUE(Found());
    EXPECT_TRUE(Button(IDC_ADVANCED)->isEnabled());
    EXPECT_EQ(g_DeviceParams.bytes, serialParams);
    EXPECT_EQ(dlg->Dlg().ParamBlockOrigin(), ParamOrigin::Serial);

    Button(IDC_SERIAL_OPEN)->click();  // close: the TCP link is in use again
    EXPECT_EQ(NetworkLink(*dlg), 1);
    EXPECT_FALSE(Button(IDC_ADVANCED)->isEnabled());
    EXPECT_EQ(g_DeviceParams.bytes, Params{});
    EXPECT_EQ(dlg->Dlg().ParamBlockOrigin(), ParamOrigin::None);
}

struct ButtonFrame {
    int button;
    Byte address;
    const char* body;  // the frame without its CRC
};

TEST_F(SerialLinkTest, ButtonsWriteTheirRtuFrameBeforeAnySearch) {
    PlugFake();
    OpenCom();
    const ButtonFrame cases[] = {
        {IDC_RL1_ON, 1, "01 05 0010 FF00"},
        {IDC_RL4_OFF, 7, "07 05 0013 0000"},
        {IDC_QUERY_DI, 0x20, "20 01 0000 0004"},
        {IDC_QUERY_AI, 1, "01 04 0000 0002"},
    };
    std::size_t sent = 0;
    for (const ButtonFrame& c : cases) {
        TakeAddress(*dlg, c.address);
        Button(c.button)->click();
        ++sent;
        ASSERT_TRUE(WaitFor([&] { return fake->Requests().size() == sent; })) << c.body;
        EXPECT_EQ(fake->Requests().back().bytes, WithCrc(HexBytes(c.body))) << c.body;
    }
    EXPECT_EQ(fake->Requests().front().bytes, HexBytes("01 05 0010 FF00 8DFF"));
    EXPECT_TRUE(recorder.messages.empty());
}

TEST_F(SerialLinkTest, ClosingThePortHandsTheButtonsBackToTheTcpLink) {
    LoopbackModule module;
    PlugFake();
    ConnectTo(module.Port());
    ASSERT_TRUE(module.WaitBytes(24));  // the two parameter reads of the connect
    module.ClearReceived();

    OpenCom();
    Button(IDC_RL1_ON)->click();
    ASSERT_TRUE(WaitFor([this] { return fake->Requests().size() == 1; }));
    EXPECT_FALSE(module.WaitBytes(1, 200));  // nothing went to the TCP peer

    Button(IDC_SERIAL_OPEN)->click();  // close
    EXPECT_EQ(NetworkLink(*dlg), 1);
    Button(IDC_RL1_ON)->click();
    ASSERT_TRUE(module.WaitBytes(12));
    EXPECT_EQ(module.Received(), Hex("000100000006 01050010FF00"));
    EXPECT_EQ(fake->Requests().size(), 1U);
}

TEST_F(SerialLinkTest, ThePortCanBeOpenedAgainAfterClosing) {
    PlugFake();
    for (int round = 0; round < 3; ++round) {
        OpenCom();
        ASSERT_TRUE(ComOpen(*dlg)) << "round " << round;
        Button(IDC_QUERY_DI)->click();
        ASSERT_TRUE(WaitFor([&] { return fake->Requests().size() == std::size_t(round) + 1; }));
        Button(IDC_SERIAL_OPEN)->click();
        ASSERT_FALSE(ComOpen(*dlg));
    }
    EXPECT_TRUE(recorder.messages.empty());
}

}  // namespace
