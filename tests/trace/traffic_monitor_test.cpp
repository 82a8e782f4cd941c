// The traffic monitor: the lines it shows of real exchanges on both links, and what it keeps,
// saves, pauses and leaves out of its view under a flood.
#include "traffic_monitor.h"

#include <QAccessible>
#include <QAccessibleTableInterface>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFile>
#include <QLabel>
#include <QListView>
#include <QMenu>
#include <QRegularExpression>
#include <QTemporaryDir>

#include "loopback_module.h"
#include "panel_fixture.h"
#include "serial_link_fixture.h"

namespace {

// The lines without their time, blanks between the columns made one.
QStringList Untimed(const QStringList& lines) {
    QStringList texts;
    for (const QString& line : lines) {
        texts << line.simplified().section(' ', 1);
    }
    return texts;
}

QString Rtu(const char* message) {
    return QString::fromStdString(HexText(WithCrc(HexBytes(message))));
}

// Opens the monitor as the context menu's item does, and forgets what came before.
TrafficMonitor& OpenMonitor(CKestrelDlg& dlg) {
    dlg.OnTraffic();
    dlg.Monitor()->TakePending();
    dlg.Monitor()->Clear();
    return *dlg.Monitor();
}

bool WaitLines(TrafficMonitor& monitor, std::uint64_t count) {
    return WaitFor([&] { return monitor.Count() >= count; });
}

class TrafficWindow : public PanelTest {
  protected:
    // Connected to the stand-in module, past the two parameter reads the panel sends first.
    bool ConnectedAndRead(LoopbackModule& module, TrafficMonitor& monitor) {
        ConnectTo(module.Port());
        return module.WaitBytes(24) && WaitLines(monitor, 2);
    }
};

TEST_F(TrafficWindow, TheContextMenuOpensTheMonitorBesideAbout) {
    QStringList items;
    QTimer::singleShot(0, [&items] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        ASSERT_NE(menu, nullptr);
        for (QAction* action : menu->actions()) items << action->text();
        menu->actions().last()->trigger();
        menu->close();
    });
    QContextMenuEvent event(QContextMenuEvent::Keyboard, QPoint(10, 10),
                            dlg->mapToGlobal(QPoint(10, 10)));
    QApplication::sendEvent(dlg.get(), &event);
    EXPECT_EQ(items, QStringList({QString::fromUtf8("关于 Kestrel(&A)..."), "Traffic"}));
    ASSERT_NE(dlg->Monitor(), nullptr);
    EXPECT_TRUE(dlg->Monitor()->isVisible());
    EXPECT_FALSE(dlg->Monitor()->isModal());
    EXPECT_EQ(dlg->Monitor()->View()->accessibleName(), "Traffic");
    dlg->Monitor()->close();  // closing it closes nothing else
    EXPECT_TRUE(WaitFor([this] { return dlg->Monitor() == nullptr; }));
    EXPECT_TRUE(dlg->isVisible());
}

// A relay command and its echo, against the simulator on TCP.
TEST_F(TrafficWindow, RelayCommandAndEchoFromTheSimulatorOnTcp) {
    simtest::SimProcess sim({"--tcp", "127.0.0.1:0", "--no-discovery", "--address", "5"});
    ASSERT_TRUE(sim.Started());
    TrafficMonitor& monitor = OpenMonitor(*dlg);
    ConnectTo(sim.Port());
    ASSERT_TRUE(WaitFor([this] { return Button(IDC_ADVANCED)->isEnabled(); }));
    ASSERT_TRUE(WaitLines(monitor, 4));  // the two parameter reads and their replies
    monitor.Clear();
    Button(IDC_RL1_ON)->click();
    ASSERT_TRUE(WaitFor([this] { return dlg->Relay(0)->isChecked(); }));
    ASSERT_TRUE(WaitLines(monitor, 2));
    EXPECT_EQ(Untimed(monitor.ViewLines()),
              QStringList({"TCP tx 00 01 00 00 00 06 05 05 00 10 FF 00 write RL1 on, unit 5",
                           "TCP rx 05 05 00 10 FF 00 echo RL1 on, unit 5"}));
}

// What a module sends unasked or in refusal, and bytes that start no frame, on TCP.
TEST_F(TrafficWindow, DiReportExceptionAndStrayByteOnTcp) {
    LoopbackModule module;
    TrafficMonitor& monitor = OpenMonitor(*dlg);
    ASSERT_TRUE(ConnectedAndRead(module, monitor));
    monitor.Clear();
    Button(IDC_QUERY_AI)->click();
    ASSERT_TRUE(module.WaitBytes(36));
    module.Send(Hex("A5 0001 0000 0006 02 05 0011 FF00 0001 0000 0003 01 84 02"));
    ASSERT_TRUE(WaitLines(monitor, 4));
    EXPECT_EQ(
        Untimed(monitor.ViewLines()),
        QStringList({"TCP tx 00 01 00 00 00 06 01 04 00 00 00 02 query AI, unit 1",
                     "TCP drop A5 dropped 1 byte", "TCP rx 02 05 00 11 FF 00 DI report: DI2 on",
                     "TCP rx 01 84 02 exception 2 to query AI (illegal data address), unit 1"}));
}

// A module streams DI reports faster than the view takes them in: every frame is counted and
// kept, the view takes one batch, and what it left out is counted. The monitor's timer is held
// back so that the whole flood is one batch whatever the machine's speed; a second listener of
// the trace tells when every frame has come.
TEST_F(TrafficWindow, AFloodIsCountedWhateverTheViewShows) {
    LoopbackModule module;
    TrafficMonitor& monitor = OpenMonitor(*dlg);
    ASSERT_TRUE(ConnectedAndRead(module, monitor));
    monitor.findChild<QTimer*>(QString(), Qt::FindDirectChildrenOnly)->stop();
    monitor.Clear();
    std::atomic<int> received{0};
    const TraceSubscription counter(
        [&received](const TraceEvent& event) { received += event.direction == "rx" ? 1 : 0; });
    constexpr int kReports = 20000;
    QByteArray flood;
    for (int n = 0; n < kReports; ++n) {
        flood +=
            Hex(n % 2 == 0 ? "0001 0000 0006 02 05 0011 FF00" : "0001 0000 0006 02 05 0011 0000");
    }
    module.Send(flood);
    ASSERT_TRUE(WaitFor([&received] { return received == kReports; }, 60000));
    monitor.TakePending();
    EXPECT_EQ(monitor.Count(), std::uint64_t{kReports});
    EXPECT_EQ(monitor.HistorySize(), std::size_t{kReports});
    ASSERT_EQ(monitor.ViewLines().size(), qsizetype{TrafficLimits::kBatchLines});
    EXPECT_EQ(monitor.NotShown(), std::uint64_t{kReports - TrafficLimits::kBatchLines});
    EXPECT_EQ(Untimed(monitor.ViewLines()).last(), "TCP rx 02 05 00 11 00 00 DI report: DI2 off");
    EXPECT_EQ(monitor.StatusText(), "20000 lines, 19500 not shown");
}

using SerialTrafficWindow = SerialLinkTest;

// A relay command and its echo, against the simulator on a pseudo-terminal: the link is named
// with the rate the search found.
TEST_F(SerialTrafficWindow, RelayCommandAndEchoFromTheSimulator) {
    StartSim({"--baud", "9600", "--address", "5"});
    ASSERT_TRUE(sim->Started());
    TrafficMonitor& monitor = OpenMonitor(*dlg);
    OpenCom();
    Search();
    ASSERT_TRUE(Found());
    monitor.TakePending();
    monitor.Clear();
    Button(IDC_RL1_ON)->click();
    ASSERT_TRUE(WaitFor([this] { return dlg->Relay(0)->isChecked(); }));
    ASSERT_TRUE(WaitLines(monitor, 2));
    EXPECT_EQ(Untimed(monitor.ViewLines()),
              QStringList({"COM7 9600 tx " + Rtu("05 05 0010 FF00") + " write RL1 on, unit 5",
                           "COM7 9600 rx " + Rtu("05 05 0010 FF00") + " echo RL1 on, unit 5"}));
}

TEST_F(SerialTrafficWindow, DiReportExceptionAndStrayByte) {
    ConnectFake({1, 0, 2, 7, 6, 0, 0, 0, 0, 0});
    TrafficMonitor& monitor = OpenMonitor(*dlg);
    fake->SetResponder([](const FakeModule::Request&) { return WithCrc(HexBytes("01 84 02")); });
    Button(IDC_QUERY_AI)->click();
    ASSERT_TRUE(WaitLines(monitor, 2));
    fake->Send(Joined({HexBytes("A5"), WithCrc(HexBytes("02 05 0011 FF00"))}));
    ASSERT_TRUE(WaitLines(monitor, 4));
    EXPECT_EQ(Untimed(monitor.ViewLines()),
              QStringList({"COM7 1200 tx " + Rtu("01 04 0000 0002") + " query AI, unit 1",
                           "COM7 1200 rx " + Rtu("01 84 02") +
                               " exception 2 to query AI (illegal data address), unit 1",
                           "COM7 1200 drop A5 dropped 1 byte",
                           "COM7 1200 rx " + Rtu("02 05 0011 FF00") + " DI report: DI2 on"}));
}

// ---- what the monitor keeps ---------------------------------------------------------------------

// A monitor of its own with small bounds, fed through the trace as the links feed it.
class MonitorBounds : public ::testing::Test {
  protected:
    void Trace(int count, Byte first = 0) {
        for (int n = 0; n < count; ++n) {
            // n in the CRC field, which the summary does not read
            const Byte request[] = {1, 5, 0, 0x10, 0xFF, 0, 0, static_cast<Byte>(first + n)};
            TraceFrame(kLink, "tx", request);
        }
        monitor.TakePending();
    }
    static QString Value(const QString& line) { return line.simplified().section(' ', 11, 11); }
    static QStringList Values(const QStringList& lines) {
        QStringList values;
        for (const QString& line : lines) values << Value(line);
        return values;
    }

    const TraceLink kLink{"COM3", Framing::ModbusRtu, 19200};
    MessageRecorder recorder;
    TrafficMonitor monitor{[] { return Byte{1}; }, nullptr, TrafficLimits{5, 3}};
};

// Beyond the history the oldest lines go; beyond a batch the view leaves lines out. The count
// keeps every one and the status says what the view and the history do not hold.
TEST_F(MonitorBounds, HistoryAndViewAreBoundedTheCountIsNot) {
    Trace(2, 0x00);
    Trace(8, 0x10);
    EXPECT_EQ(monitor.Count(), 10U);
    EXPECT_EQ(Values(monitor.HistoryLines()), QStringList({"13", "14", "15", "16", "17"}));
    EXPECT_EQ(Values(monitor.ViewLines()), QStringList({"00", "01", "15", "16", "17"}));
    EXPECT_EQ(monitor.NotShown(), 5U);
    EXPECT_EQ(monitor.StatusText(), "10 lines, 5 not shown, the oldest 5 no longer kept");
}

TEST_F(MonitorBounds, PauseKeepsCountingWithoutShowing) {
    Trace(1, 0x00);
    QPushButton* pause = monitor.findChild<QPushButton*>();
    ASSERT_EQ(pause->text(), "Pause");
    pause->click();
    EXPECT_EQ(pause->accessibleName(), "Resume");
    Trace(2, 0x10);
    EXPECT_EQ(Values(monitor.ViewLines()), QStringList({"00"}));
    EXPECT_EQ(monitor.Count(), 3U);
    EXPECT_EQ(monitor.NotShown(), 2U);
    pause->click();
    Trace(1, 0x20);
    EXPECT_EQ(Values(monitor.ViewLines()), QStringList({"00", "20"}));
    EXPECT_EQ(Values(monitor.HistoryLines()), QStringList({"00", "10", "11", "20"}));
}

// Save writes the whole history, in the time the view shows, and says what it no longer has.
TEST_F(MonitorBounds, SaveWritesTheWholeHistory) {
    Trace(7);  // the view shows 3 of them, the history keeps 5
    monitor.SetTimeMode(TrafficTime::WallClock);
    QTemporaryDir dir;
    const QString path = dir.filePath("traffic.txt");
    monitor.SetPathAsker([&path](QWidget*) { return path; });
    const auto buttons = monitor.findChildren<QPushButton*>();
    const auto save = std::find_if(buttons.begin(), buttons.end(),
                                   [](QPushButton* b) { return b->text() == "Save..."; });
    ASSERT_NE(save, buttons.end());
    (*save)->click();
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly | QIODevice::Text));
    const QStringList lines = QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 6);
    EXPECT_EQ(lines[0], "(2 earlier lines are no longer kept)");
    EXPECT_EQ(lines.mid(1), monitor.HistoryLines());
    EXPECT_TRUE(lines[1].contains(QRegularExpression(
        "^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}  COM3 19200  tx   01 05 00 10 FF 00 "
        "00 02  write RL1 on, unit 1$")))
        << lines[1].toStdString();
    EXPECT_TRUE(recorder.messages.empty());

    EXPECT_FALSE(monitor.SaveTo(dir.filePath("missing/traffic.txt")));
    ASSERT_EQ(recorder.messages.size(), 1U);
    EXPECT_TRUE(recorder.messages[0].text.startsWith("The traffic could not be saved to "));
}

// Every control is known by what it shows now and described by its id; the lines are read out
// as they are shown, in the time the operator chose.
TEST_F(MonitorBounds, ControlsAndLinesAreReadableByAssistiveTechnology) {
    Trace(2);
    auto* time = monitor.findChild<QComboBox*>();
    ASSERT_NE(time, nullptr);
    time->setCurrentIndex(1);
    EXPECT_EQ(time->accessibleName(), "wall clock");
    EXPECT_TRUE(monitor.ViewLines()[0].contains(QRegularExpression("^\\d{4}-\\d\\d-\\d\\d ")));
    for (QPushButton* button : monitor.findChildren<QPushButton*>()) {
        EXPECT_EQ(button->accessibleName(), button->text());
        EXPECT_FALSE(button->accessibleDescription().isEmpty()) << button->text().toStdString();
    }
    const auto labels = monitor.findChildren<QLabel*>();
    const auto shown = std::find_if(labels.begin(), labels.end(), [&](QLabel* label) {
        return label->text() == monitor.StatusText();
    });
    ASSERT_NE(shown, labels.end());
    EXPECT_EQ((*shown)->accessibleName(), monitor.StatusText());
    QAccessibleInterface* view = QAccessible::queryAccessibleInterface(monitor.View());
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view->text(QAccessible::Name), "Traffic");
    QAccessibleTableInterface* table = view->tableInterface();
    ASSERT_NE(table, nullptr);
    ASSERT_EQ(table->rowCount(), 2);
    EXPECT_EQ(table->cellAt(1, 0)->text(QAccessible::Name), monitor.ViewLines()[1]);
}

TEST_F(MonitorBounds, CopyTakesTheSelectedLinesInOrder) {
    Trace(3);
    QItemSelectionModel* selection = monitor.View()->selectionModel();
    const QAbstractItemModel* model = monitor.View()->model();
    selection->select(model->index(2, 0), QItemSelectionModel::Select);
    selection->select(model->index(0, 0), QItemSelectionModel::Select);
    monitor.CopySelection();
    const QStringList view = monitor.ViewLines();
    EXPECT_EQ(QApplication::clipboard()->text(), view[0] + '\n' + view[2] + '\n');
    monitor.Clear();
    EXPECT_EQ(monitor.Count(), 0U);
    EXPECT_TRUE(monitor.ViewLines().isEmpty());
    EXPECT_TRUE(monitor.HistoryLines().isEmpty());
}

}  // namespace
