// The panel against real modules on loopback: the simulator as a process, and a pymodbus
// server as an independent peer.
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>

#include "device_params.h"
#include "panel_fixture.h"
#include "sim_harness.h"

namespace {

class AgainstSimulator : public PanelTest {
  protected:
    void Start(std::vector<std::string> args) {
        args.insert(args.begin(), {"--tcp", "127.0.0.1:0", "--no-discovery"});
        sim = std::make_unique<simtest::SimProcess>(args);
        ASSERT_TRUE(sim->Started());
    }
    void Connect(int protocol) {
        dlg->Item<QComboBox>(IDC_PROTOCOL)->setCurrentIndex(protocol);
        ClearReport(*dlg);
        ConnectTo(sim->Port());
        // A refused parameter read may already be reported above the line.
        ASSERT_TRUE(WaitFor([this] { return ReportText(*dlg).contains("TCP Client Connected"); }));
        // In RTU framing the window takes commands once the second parameter read has gone.
        ASSERT_TRUE(WaitFor([this] { return !dlg->Dlg().OperationRunning(); }));
    }
    bool Relay(int n) const { return dlg->IsChecked(RelayId(static_cast<std::size_t>(n))); }

    std::unique_ptr<simtest::SimProcess> sim;
};

TEST_F(AgainstSimulator, RelaysInputsAndParametersInBothFramings) {
    for (const int protocol : {0, 1}) {
        SCOPED_TRACE(protocol);
        Start({"--framing", protocol == 0 ? "tcp" : "rtu", "--address", "3", "--di", "0110", "--ai",
               "512,1024"});
        Connect(protocol);
        // learned from unit 0xFF
        ASSERT_TRUE(WaitFor([this] { return Button(IDC_ADVANCED)->isEnabled(); }));
        EXPECT_EQ(ShownAddress(*dlg), 3);
        EXPECT_EQ(g_DeviceParams.bytes[0], 3);
        for (int n = 0; n < 4; ++n) {
            Button(IDC_RL1_ON + 2 * n)->click();
            ASSERT_TRUE(WaitFor([&] { return Relay(n); })) << "RL" << n + 1;
        }
        Button(IDC_RL1_ON + 1)->click();
        ASSERT_TRUE(WaitFor([&] { return !Relay(0); }));
        EXPECT_NE(sim->Command("show").find("relays=0111"), std::string::npos);
        Button(IDC_QUERY_DI)->click();
        ASSERT_TRUE(WaitFor([this] { return dlg->IsChecked(DiId(1)); }));
        EXPECT_FALSE(dlg->IsChecked(DiId(0)));
        EXPECT_TRUE(dlg->IsChecked(DiId(2)));
        Button(IDC_QUERY_AI)->click();
        ASSERT_TRUE(WaitFor([this] { return Edit(IDC_AI2)->text() == "5"; }));
        EXPECT_EQ(Edit(IDC_AI1)->text(), "2.5");
        Button(IDC_CONNECT)->click();
        sim.reset();
    }
}

TEST_F(AgainstSimulator, AnInputReportedByTheModuleShowsOnItsOwn) {
    Start({"--address", "1"});
    Connect(0);
    // Another master turns the module's DI report on, to address 2 (a foreign unit).
    simtest::Client other(sim->Port());
    other.Send(BuildFrame({1, 6, 0x0040, 0x0207}, Framing::ModbusTcp));
    other.Send(BuildFrame({1, 6, 0x003F, 0x0101}, Framing::ModbusTcp));
    ASSERT_EQ(other.Receive(24).size(), 24U);
    EXPECT_EQ(sim->Command("di 3 1"), "ok");
    ASSERT_TRUE(WaitFor([this] { return dlg->IsChecked(DiId(2)); }));
    EXPECT_FALSE(Relay(2));  // a report, not a relay echo
    EXPECT_EQ(sim->Command("di 3 0"), "ok");
    ASSERT_TRUE(WaitFor([this] { return !dlg->IsChecked(DiId(2)); }));
}

TEST_F(AgainstSimulator, TheModuleGoingAwayDropsTheLinkAndANewConnectWorks) {
    Start({});
    Connect(0);
    const std::uint16_t port = sim->Port();
    sim.reset();  // killed mid-session
    ASSERT_TRUE(WaitFor([this] { return !TcpConnected(*dlg); }));
    EXPECT_TRUE(ReportText(*dlg).contains("connection\r\nTCP Connect closed...\r\n"));
    sim = std::make_unique<simtest::SimProcess>(
        std::vector<std::string>{"--tcp", "127.0.0.1:" + std::to_string(port), "--no-discovery"});
    ASSERT_TRUE(sim->Started());
    ConnectTo(port);
    ASSERT_TRUE(WaitFor([this] { return ReportText(*dlg).startsWith("TCP Client Connected"); }));
    Button(IDC_RL1_ON)->click();
    ASSERT_TRUE(WaitFor([this] { return Relay(0); }));
}

// pymodbus serves the module's data model: the panel speaks Modbus as another stack does.
class AgainstPymodbus : public PanelTest {
  protected:
    void SetUp() override {
        PanelTest::SetUp();
        if (!QFile::exists("/usr/bin/python3")) {
            GTEST_SKIP() << "/usr/bin/python3 with pymodbus is not installed";
        }
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost);
        port = probe.serverPort();
        probe.close();
        server.start("/usr/bin/python3", {PYMODBUS_MODULE, QString::number(port)});
        ASSERT_TRUE(server.waitForStarted());
        ASSERT_TRUE(WaitFor(
            [this] {
                QTcpSocket probeClient;
                probeClient.connectToHost(QHostAddress::LocalHost, port);
                return probeClient.waitForConnected(100);
            },
            15000))
            << server.readAllStandardError().toStdString();
    }
    void TearDown() override {
        server.kill();
        server.waitForFinished();
        PanelTest::TearDown();
    }
    QProcess server;
    quint16 port = 0;
};

TEST_F(AgainstPymodbus, SwitchesEveryRelayAndReadsTheInputs) {
    ConnectTo(port);
    ASSERT_TRUE(WaitFor([this] { return ShownAddress(*dlg) == 3; }));  // register 0x3F = 0x0300
    EXPECT_EQ(g_DeviceParams.bytes[3], 7);
    for (int n = 0; n < 4; ++n) {
        Button(IDC_RL1_ON + 2 * n)->click();
        ASSERT_TRUE(WaitFor([&] { return dlg->IsChecked(RelayId(static_cast<std::size_t>(n))); }));
        Button(IDC_RL1_ON + 2 * n + 1)->click();
        ASSERT_TRUE(WaitFor([&] { return !dlg->IsChecked(RelayId(static_cast<std::size_t>(n))); }));
    }
    Button(IDC_QUERY_DI)->click();
    ASSERT_TRUE(WaitFor([this] { return dlg->IsChecked(DiId(3)); }));
    EXPECT_TRUE(dlg->IsChecked(DiId(0)));
    EXPECT_FALSE(dlg->IsChecked(DiId(1)));
    EXPECT_TRUE(dlg->IsChecked(DiId(2)));
    Button(IDC_QUERY_AI)->click();
    ASSERT_TRUE(WaitFor([this] { return Edit(IDC_AI2)->text() == "5"; }));
    EXPECT_EQ(Edit(IDC_AI1)->text(), "2.5");
}

}  // namespace

namespace {

// A module that answers every second request with an exception (after acting on it) and sends
// stray bytes before every third reply: only the echoes that came back check their relay.
TEST_F(AgainstSimulator, ExceptionsAndGarbageChangeNoIndicatorOnEitherFraming) {
    for (const int protocol : {0, 1}) {
        SCOPED_TRACE(protocol);
        Start({"--framing", protocol == 0 ? "tcp" : "rtu", "--exception-every", "2",
               "--garbage-every", "3", "--ai", "1024,1024"});
        Connect(protocol);  // replies 1 and 2: the parameter reads, the second refused
        for (int n = 0; n < 4; ++n) {
            Button(IDC_RL1_ON + 2 * n)->click();  // replies 3 to 6: RL2 and RL4 refused
        }
        Button(IDC_QUERY_AI)->click();  // reply 7, behind all the others on the stream
        ASSERT_TRUE(WaitFor([this] { return Edit(IDC_AI1)->text() == "5"; }));
        EXPECT_TRUE(Relay(0));
        EXPECT_FALSE(Relay(1));
        EXPECT_TRUE(Relay(2));
        EXPECT_FALSE(Relay(3));
        EXPECT_FALSE(dlg->IsChecked(DiId(0)));
        EXPECT_NE(sim->Command("show").find("relays=1111"), std::string::npos);
        Button(IDC_CONNECT)->click();
        sim.reset();
    }
}

}  // namespace
