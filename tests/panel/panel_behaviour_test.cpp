// The main window and the "Advanced" dialog as behaviour: driven through a recording dialog, on a
// virtual clock, over a TCP port that the test plays the module on.
#include <gtest/gtest.h>

#include <memory>

#include "advanced_dlg.h"
#include "field_exchange.h"
#include "hex.h"
#include "kestrel_dlg.h"
#include "main_template.h"
#include "recording_dialog.h"
#include "virtual_clock.h"

namespace {

using std::chrono::milliseconds;

// A TCP port whose one connection the test plays: it sees what is sent and tells the outcome,
// the replies and the peer's ending.
class StandinTcpPort : public TcpPort {
  public:
    struct Line {
        TcpConnection::Listener listener;
        std::string peer;
        std::vector<std::vector<Byte>> sent;
        bool closed = false;
    };

    std::unique_ptr<TcpConnection> Create(TcpConnection::Listener listener) override {
        line = std::make_shared<Line>();
        line->listener = std::move(listener);
        return std::make_unique<Connection>(line);
    }

    std::shared_ptr<Line> line;

  private:
    class Connection : public TcpConnection {
      public:
        explicit Connection(std::shared_ptr<Line> line) : m_line(std::move(line)) {}
        void Connect(const std::string& host, std::uint16_t port) override {
            m_line->peer = host + ':' + std::to_string(port);
        }
        std::int64_t Send(std::span<const Byte> bytes) override {
            m_line->sent.emplace_back(bytes.begin(), bytes.end());
            return static_cast<std::int64_t>(bytes.size());
        }
        void Close() override { m_line->closed = true; }
        std::string ErrorText() const override { return "refused"; }

      private:
        std::shared_ptr<Line> m_line;
    };
};

const std::string kReadThree = ToHex(Hex("000100000006FF03003F0003"));
const std::string kReadFive = ToHex(Hex("000100000006FF03003F0005"));
const std::string kWholeBlock = "0001 0000 000D 05 03 0A 05 01 02 07 06 00 03 E8 00 00";

class PanelBehaviour : public ::testing::Test {
  protected:
    PanelBehaviour() {
        ResetCommandTable();
        g_DeviceParams = DeviceParams{};
        dialog.Attach(dlg);
        dialog.messages.clear();  // the search library is not there: said once at start
    }

    // Connects to the module in the framing of "Protocol:" item `protocol`.
    void Connect(int protocol = 0) {
        dialog.Choose(IDC_PROTOCOL, protocol);
        dialog.Type(IDC_IP, "127.0.0.1");
        dialog.Type(IDC_PORT, "502");
        dialog.Click(IDC_CONNECT);
        ASSERT_TRUE(tcp.line);
        tcp.line->listener.connected(0);
    }
    void Reply(std::string_view hex) { tcp.line->listener.received(Hex(hex)); }
    std::vector<std::string> Sent() const {
        std::vector<std::string> frames;
        for (const auto& frame : tcp.line->sent) {
            frames.push_back(ToHex(frame));
        }
        return frames;
    }
    std::string NewestLine() const {
        const std::string& report = dialog.Text(IDC_REPORT);
        return report.substr(0, report.find("\r\n"));
    }

    VirtualClock clock;
    StandinTcpPort tcp;
    RecordingDialog dialog{kMainTemplate};
    CKestrelDlg dlg{dialog, clock, tcp, "KestrelNoSuchLibrary"};
};

TEST_F(PanelBehaviour, StartsOnTheNetworkLinkWithItsControlsSet) {
    EXPECT_EQ(dialog.Text(IDC_IP), "192.168.1.232");
    EXPECT_EQ(dialog.Text(IDC_PORT), "4196");
    EXPECT_EQ(dialog.Text(IDC_ADDRESS), "1");
    EXPECT_EQ(dialog.Text(IDC_PROTOCOL), "MODBUS TCP");
    EXPECT_EQ(dialog.ComboCount(IDC_COM), 255);
    EXPECT_EQ(dialog.ComboCount(IDC_BAUD), 8);
    EXPECT_FALSE(dialog.IsEnabled(IDC_ADVANCED));
    EXPECT_FALSE(dialog.IsEnabled(IDC_SERIAL_SEARCH));
    EXPECT_EQ(dialog.Focus(), IDC_CONNECT);
    dialog.Click(IDC_RL1_ON);
    EXPECT_EQ(NewestLine(),
              "RL1 Closed was not sent: no link is in use (connect over TCP or open a COM port)");
}

TEST_F(PanelBehaviour, ARefusedPortIsSaidOnceAndNothingIsAttempted) {
    dialog.Type(IDC_PORT, "-1");
    dialog.Click(IDC_CONNECT);
    ASSERT_EQ(dialog.messages.size(), 1U);
    EXPECT_EQ(dialog.messages[0].text, kRefuseUnsigned);
    EXPECT_EQ(dialog.messages[0].caption, "kestrel");
    EXPECT_EQ(dialog.messages[0].icon, MessageIcon::Warning);
    EXPECT_EQ(dialog.Focus(), IDC_PORT);
    EXPECT_TRUE(dialog.At(IDC_PORT).textSelected);
    EXPECT_FALSE(tcp.line);
    EXPECT_EQ(dialog.Text(IDC_CONNECT), "Connect");
}

// In RTU framing the second read goes 200 ms after the first, and the window takes no command
// until it has gone.
TEST_F(PanelBehaviour, TheRtuParameterReadHoldsTheWindowForItsPause) {
    Connect(1);
    EXPECT_EQ(tcp.line->peer, "127.0.0.1:502");
    EXPECT_EQ(Sent(), std::vector<std::string>{ToHex(Hex("FF03003F00032019"))});
    EXPECT_EQ(dialog.Text(IDC_STATUS), "Reading the module's parameters...");
    EXPECT_FALSE(dialog.IsEnabled(IDC_CONNECT));
    EXPECT_FALSE(dialog.IsEnabled(IDC_PROTOCOL));
    clock.Advance(milliseconds(199));
    EXPECT_EQ(Sent().size(), 1U);
    clock.Advance(milliseconds(1));
    EXPECT_EQ(Sent().size(), 2U);
    EXPECT_EQ(dialog.Text(IDC_STATUS), "");
    EXPECT_TRUE(dialog.IsEnabled(IDC_CONNECT));
}

// What is not answered in time is said once, when its time is up: the parameter read after a
// second, a relay write after its reply timeout, an attempt with no outcome after five seconds.
TEST_F(PanelBehaviour, UnansweredRequestsAreSaidWhenTheirTimeIsUp) {
    Connect();
    EXPECT_EQ(Sent(), (std::vector<std::string>{kReadThree, kReadFive}));
    clock.Advance(milliseconds(999));
    EXPECT_EQ(NewestLine(), "TCP Client Connected to 127.0.0.1 : 502");
    clock.Advance(milliseconds(1));
    EXPECT_EQ(NewestLine(), "No reply to the parameter read");

    dialog.Click(IDC_RL1_ON);
    EXPECT_EQ(Sent().back(), ToHex(Hex("000100000006 01050010FF00")));
    clock.Advance(ReplyTimeout() - milliseconds(1));
    EXPECT_EQ(NewestLine(), "No reply to the parameter read");
    clock.Advance(milliseconds(1));
    EXPECT_EQ(NewestLine().rfind("No reply from unit 1 to RL1 Closed", 0), 0U) << NewestLine();

    dialog.Click(IDC_CONNECT);  // Disconnect
    dialog.Click(IDC_CONNECT);  // and again: no outcome comes
    clock.Advance(milliseconds(4999));
    EXPECT_EQ(NewestLine().rfind("TCP client connectting", 0), 0U) << NewestLine();
    clock.Advance(milliseconds(1));
    EXPECT_EQ(NewestLine(), "TCP connect to 127.0.0.1:502 failed: timed out after 5 s");
}

TEST_F(PanelBehaviour, RepliesSetTheIndicatorsAndTheBlockEnablesAdvanced) {
    Connect();
    Reply(kWholeBlock);
    EXPECT_EQ(dialog.Text(IDC_ADDRESS), "5");
    EXPECT_TRUE(dialog.IsEnabled(IDC_ADVANCED));
    Reply("0001 0000 0006 05 05 0011 FF00 | 0001 0000 0004 05 01 01 05");
    EXPECT_TRUE(dialog.IsChecked(IDC_RL1 + 1));
    EXPECT_TRUE(dialog.IsChecked(IDC_DI1));
    EXPECT_FALSE(dialog.IsChecked(IDC_DI2));
    EXPECT_TRUE(dialog.IsChecked(IDC_DI3));
    dialog.Click(IDC_CONNECT);
    EXPECT_FALSE(dialog.IsChecked(IDC_RL1 + 1) || dialog.IsChecked(IDC_DI1));
    EXPECT_FALSE(dialog.IsEnabled(IDC_ADVANCED));
    EXPECT_EQ(NewestLine(), "TCP Connect closed...");
}

// OK writes the four registers 100 ms apart, holding the window; 200 ms after the last the block
// is read back and compared with what was written.
TEST_F(PanelBehaviour, AdvancedWritesItsRegistersPacedAndReadsThemBack) {
    Connect();
    Reply(kWholeBlock);
    const std::size_t before = Sent().size();
    dialog.modalScripts.push_back([](RecordingDialog& d) {
        EXPECT_EQ(d.Text(IDC_ADV_SLAVE), "5");
        EXPECT_EQ(d.Text(IDC_ADV_AI1_PERIOD), "1000");
        d.Type(IDC_ADV_AI2_PERIOD, "250");
        d.Click(CAdvancedDlg::IDOK);
    });
    dialog.Click(IDC_ADVANCED);
    EXPECT_EQ(Sent().size(), before + 1);
    EXPECT_EQ(dialog.Text(IDC_STATUS), "Writing parameters 1 of 4...");
    EXPECT_FALSE(dialog.IsEnabled(IDC_RL1_ON));
    for (std::size_t n = 2; n <= 4; ++n) {
        clock.Advance(milliseconds(99));
        EXPECT_EQ(Sent().size(), before + n - 1);
        clock.Advance(milliseconds(1));
        EXPECT_EQ(Sent().size(), before + n);
    }
    EXPECT_FALSE(dialog.IsEnabled(IDC_ADVANCED));
    clock.Advance(milliseconds(199));
    EXPECT_EQ(Sent().size(), before + 4);
    clock.Advance(milliseconds(1));
    EXPECT_EQ(Sent().size(), before + 6);  // the two reads
    EXPECT_TRUE(dialog.IsEnabled(IDC_RL1_ON));
    Reply("0001 0000 000D 05 03 0A 05 01 02 07 06 00 03 E8 00 FA");
    EXPECT_EQ(NewestLine(), "Parameters written to unit 5");
}

struct AdvancedRefusalCase {
    int id;
    const char* typed;
    const char* message;
};

class AdvancedRefusal : public ::testing::TestWithParam<AdvancedRefusalCase> {};

// A refused field says why, takes the focus with its text selected, and the dialog stays open.
TEST_P(AdvancedRefusal, SaysWhyAndKeepsTheDialogOpen) {
    const AdvancedRefusalCase& c = GetParam();
    RecordingDialog owner(kMainTemplate);
    CAdvancedDlg advanced;
    std::vector<RecordingDialog::Message> messages;
    owner.modalScripts.push_back([&c, &messages](RecordingDialog& d) {
        d.Type(c.id, c.typed);
        d.Click(CAdvancedDlg::IDOK);
        messages = d.messages;
        ASSERT_FALSE(d.Ended());
        EXPECT_EQ(d.Focus(), c.id);
        EXPECT_TRUE(d.At(c.id).textSelected);
        d.Click(CAdvancedDlg::IDCANCEL);
    });
    EXPECT_EQ(advanced.DoModal(owner), CAdvancedDlg::IDCANCEL);
    ASSERT_EQ(messages.size(), 1U);
    EXPECT_EQ(messages[0].text, c.message);
}

INSTANTIATE_TEST_SUITE_P(Fields, AdvancedRefusal,
                         ::testing::Values(AdvancedRefusalCase{IDC_ADV_SLAVE, "256", kRefuseByte},
                                           AdvancedRefusalCase{IDC_ADV_AI1_PERIOD, "65536",
                                                               kRefuseWord}));

}  // namespace
