// The default window with the real search library, finding simulators that answer searches on a
// UDP port of this test's own, and connecting to one of them from the list.
#include <QProcess>
#include <QRegularExpression>
#include <QTest>
#include <QTreeWidget>
#include <QUdpSocket>
#include <map>

#include "panel_fixture.h"

namespace {

// A UDP port nothing is bound to right now.
quint16 FreeUdpPort() {
    QUdpSocket probe;
    probe.bind(QHostAddress::AnyIPv4, 0);
    return probe.localPort();
}

// One kestrel-sim network module on loopback, answering searches on `discoveryPort`.
class SimModule {
  public:
    SimModule(const QString& name, quint16 discoveryPort, const QStringList& options = {}) {
        m_process.start(QStringLiteral(KESTREL_SIM_EXE),
                        QStringList{"--tcp", "127.0.0.1:0", "--name", name, "--discovery-port",
                                    QString::number(discoveryPort)} +
                            options);
        QElapsedTimer clock;
        clock.start();
        while (!m_process.canReadLine() && clock.elapsed() < 5000 &&
               m_process.state() != QProcess::NotRunning) {
            m_process.waitForReadyRead(100);
        }
        const QString line = QString::fromLatin1(m_process.readLine());
        const auto match =
            QRegularExpression(QStringLiteral("^listening tcp 127\\.0\\.0\\.1:(\\d+)")).match(line);
        m_port = match.hasMatch() ? static_cast<quint16>(match.captured(1).toUInt()) : 0;
    }
    ~SimModule() {
        m_process.write("quit\n");
        if (!m_process.waitForFinished(3000)) {
            m_process.kill();
            m_process.waitForFinished(3000);
        }
    }
    quint16 Port() const { return m_port; }

  private:
    QProcess m_process;
    quint16 m_port = 0;
};

class RealSearch : public PanelTest {
  protected:
    void SetUp() override {
        PanelTest::SetUp();
        qputenv("KESTREL_DISCOVERY_PORT", QByteArray::number(discoveryPort));
    }
    void TearDown() override {
        qunsetenv("KESTREL_DISCOVERY_PORT");
        PanelTest::TearDown();
    }

    QTreeWidget* List() const { return dlg->Item<QTreeWidget>(IDC_DEVICE_LIST); }
    // Every row by name: {IP, Port, Work Mode, Protocol, Uart Param}.
    std::map<QString, QStringList> Rows() const {
        std::map<QString, QStringList> rows;
        for (int row = 0; row < List()->topLevelItemCount(); ++row) {
            const QTreeWidgetItem* item = List()->topLevelItem(row);
            QStringList texts;
            for (int column = 1; column < 6; ++column) {
                texts << item->text(column);
            }
            rows[item->text(0)] = texts;
        }
        return rows;
    }
    QTreeWidgetItem* RowNamed(const QString& name) const {
        const auto found = List()->findItems(name, Qt::MatchExactly, 0);
        return found.isEmpty() ? nullptr : found.first();
    }

    const quint16 discoveryPort = FreeUdpPort();
};

TEST_F(RealSearch, FindsEverySimulatorWithTheVerdictsItsOptionsCallFor) {
    const SimModule alpha("ALPHA", discoveryPort);
    const SimModule bravo("BRAVO", discoveryPort, {"--app-protocol", "0", "--work-mode", "2"});
    const SimModule charlie("CHARLIE", discoveryPort, {"--parity", "1"});
    ASSERT_TRUE(alpha.Port() && bravo.Port() && charlie.Port());
    ASSERT_TRUE(recorder.messages.empty());

    dlg->Item<QComboBox>(IDC_PROTOCOL)->setCurrentIndex(0);  // MODBUS TCP
    ASSERT_TRUE(RunOperation(IDC_NET_SEARCH));
    const auto port = [](const SimModule& sim) { return QString::number(sim.Port()); };
    std::map<QString, QStringList> expected = {
        {"ALPHA", {"127.0.0.1", port(alpha), "TCP Server", "MODBUS TCP", "Correct!"}},
        {"BRAVO", {"127.0.0.1", port(bravo), "WorkMode Error!", "Protocol Error!", "Correct!"}},
        {"CHARLIE", {"127.0.0.1", port(charlie), "TCP Server", "MODBUS TCP", "Error!"}},
    };
    EXPECT_EQ(Rows(), expected);

    dlg->Item<QComboBox>(IDC_PROTOCOL)
        ->setCurrentIndex(1);  // MODBUS RTU: the same modules judged again
    ASSERT_TRUE(RunOperation(IDC_NET_SEARCH));
    expected["ALPHA"][3] = "Protocol Error!";
    expected["BRAVO"][3] = "MODBUS RTU!";
    expected["CHARLIE"][3] = "Protocol Error!";
    EXPECT_EQ(Rows(), expected);
}

TEST_F(RealSearch, ClickingAFoundModuleAndConnectingReachesIt) {
    const SimModule alpha("ALPHA", discoveryPort);
    const SimModule bravo("BRAVO", discoveryPort, {"--framing", "rtu"});
    ASSERT_TRUE(alpha.Port() && bravo.Port());
    dlg->Item<QComboBox>(IDC_PROTOCOL)->setCurrentIndex(1);  // MODBUS RTU, as BRAVO speaks
    ASSERT_TRUE(RunOperation(IDC_NET_SEARCH));
    QTreeWidgetItem* row = RowNamed(QStringLiteral("BRAVO"));
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->text(4), "MODBUS RTU!");

    QTest::mouseClick(List()->viewport(), Qt::LeftButton, Qt::NoModifier,
                      List()->visualItemRect(row).center());
    QApplication::processEvents();
    EXPECT_EQ(Edit(IDC_IP)->text(), "127.0.0.1");
    EXPECT_EQ(Edit(IDC_PORT)->text(), QString::number(bravo.Port()));
    Button(IDC_CONNECT)->click();
    ASSERT_TRUE(WaitFor([this] { return ReportText(*dlg).startsWith("TCP Client Connected"); }));
    EXPECT_TRUE(ReportText(*dlg).startsWith(
        QStringLiteral("TCP Client Connected to 127.0.0.1 : %1\r\n").arg(bravo.Port())));
    // In RTU framing the window takes commands once the second parameter read has gone.
    ASSERT_TRUE(WaitFor([this] { return !dlg->Dlg().OperationRunning(); }));
    Button(IDC_RL1_ON)->click();
    EXPECT_TRUE(WaitFor([this] { return dlg->IsChecked(RelayId(0)); }));
}

// The library listens for answers for a second: the window meanwhile repaints, says it is
// searching, keeps the old rows and ignores a click on them; the new rows replace them after.
TEST_F(RealSearch, TheWindowAnswersWhileTheLibrarySearches) {
    const SimModule alpha("ALPHA", discoveryPort);
    ASSERT_TRUE(alpha.Port());
    ASSERT_TRUE(RunOperation(IDC_NET_SEARCH));
    ASSERT_NE(RowNamed(QStringLiteral("ALPHA")), nullptr);
    Edit(IDC_IP)->setText(QStringLiteral("127.0.0.9"));
    dlg->Dlg().UpdateData(true);

    OperationWatch watch(*dlg);
    Button(IDC_NET_SEARCH)->click();
    EXPECT_FALSE(Button(IDC_NET_SEARCH)->isEnabled());
    QTest::mouseClick(List()->viewport(), Qt::LeftButton, Qt::NoModifier,
                      List()->visualItemRect(RowNamed(QStringLiteral("ALPHA"))).center());
    ASSERT_TRUE(WaitFor([this] { return !dlg->Dlg().OperationRunning(); }, 10000));

    EXPECT_GT(watch.ticks, 20);
    EXPECT_GT(watch.paints, 0);
    EXPECT_EQ(watch.statuses, QStringList{"Searching the network for modules..."});
    EXPECT_EQ(Edit(IDC_IP)->text(), "127.0.0.9");  // the click waited for no search
    EXPECT_EQ(List()->topLevelItemCount(), 1);
    EXPECT_TRUE(Button(IDC_NET_SEARCH)->isEnabled());
    EXPECT_TRUE(dlg->Text(IDC_STATUS).empty());
}

// Closing the window mid-search does not wait for the library's call: the call ends on its own
// thread within its window, and nothing of it reaches the closed window.
TEST_F(RealSearch, ClosingTheWindowDuringASearchLeavesNoThread) {
    const int threadsBefore = ThreadCount();
    Button(IDC_NET_SEARCH)->click();
    ASSERT_TRUE(dlg->Dlg().OperationRunning());
    dlg->close();
    EXPECT_FALSE(dlg->Dlg().OperationRunning());
    EXPECT_TRUE(WaitFor([&] { return ThreadCount() <= threadsBefore; }, 5000));
    EXPECT_FALSE(WaitFor([this] { return List()->topLevelItemCount() > 0; }, 300));
}

}  // namespace
