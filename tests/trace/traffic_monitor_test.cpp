// The traffic monitor: the lines it shows of real exchanges on both links, and what it keeps,
// saves, pauses and leaves out of its view under a flood.
#include "traffic_monitor.h"

#include <QAccessible>
#include <QAccessibleTableInterface>
#include <QCheckBox>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFile>
#include <QLabel>
#include <QListView>
#include <QMenu>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <algorithm>

#include "loopback_module.h"
#include "panel_fixture.h"
#include "serial_link_fixture.h"

namespace {

// The lines without their time and response time, blanks between the columns made one.
QStringList Untimed(const QStringList& lines) {
    static const QRegularExpression kResponse(QStringLiteral(" \\(\\d+\\.\\d+ ms\\)$"));
    QStringList texts;
    for (const QString& line : lines) {
        texts << line.simplified().section(' ', 1).remove(kResponse);
    }
    return texts;
}

QString Rtu(const char* message) {
    return QString::fromStdString(HexText(WithCrc(HexBytes(message))));
}

// Opens the monitor as the context menu's item does, and forgets what came before.
TrafficMonitor& OpenMonitor(KestrelWindow& dlg) {
    dlg.Dlg().OnTraffic();
    dlg.Monitor()->TakePending();
    dlg.Monitor()->Clear();
    return *dlg.Monitor();
}

bool WaitLines(TrafficMonitor& monitor, std::size_t count) {
    return WaitFor([&] {
        monitor.TakePending();
        return monitor.HistorySize() >= count;
    });
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
    EXPECT_FALSE(dlg->Monitor()->frameGeometry().intersects(dlg->frameGeometry()));
    dlg->Monitor()->close();  // closing it closes nothing else
    EXPECT_TRUE(dlg->Monitor()->isHidden());
    EXPECT_TRUE(dlg->isVisible());
}

// Closed and reopened, the monitor is the same, with its history and its settings; a hidden one
// listens to nothing.
TEST_F(TrafficWindow, ReopenedTheMonitorKeepsItsHistoryAndSettings) {
    TrafficMonitor& monitor = OpenMonitor(*dlg);
    TraceLinkEvent(TraceLink{"TCP"}, trace_kind::kStep, "first");
    ASSERT_TRUE(WaitLines(monitor, 1));
    monitor.SetTimeMode(TrafficTime::WallClock);
    monitor.close();
    TraceLinkEvent(TraceLink{"TCP"}, trace_kind::kStep, "while closed");
    dlg->Dlg().OnTraffic();
    EXPECT_EQ(dlg->Monitor(), &monitor);
    EXPECT_TRUE(monitor.isVisible());
    monitor.TakePending();
    ASSERT_EQ(monitor.ViewLines().size(), 1);
    EXPECT_TRUE(
        monitor.ViewLines()[0].contains(QRegularExpression("^\\d{4}-\\d\\d-\\d\\d .* first$")));
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
    ASSERT_TRUE(WaitFor([this] { return dlg->IsChecked(RelayId(0)); }));
    ASSERT_TRUE(WaitLines(monitor, 2));
    EXPECT_EQ(Untimed(monitor.ViewLines()),
              QStringList({"TCP tx 00 01 00 00 00 06 05 05 00 10 FF 00 write RL1 on, unit 5",
                           "TCP rx 00 01 00 00 00 06 05 05 00 10 FF 00 echo RL1 on, unit 5"}));
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
                     "TCP drop A5 problem: dropped 1 byte",
                     "TCP rx 00 01 00 00 00 06 02 05 00 11 FF 00 DI report: DI2 on",
                     "TCP rx 00 01 00 00 00 03 01 84 02 problem: exception 2 to query AI (illegal "
                     "data address), unit 1"}));
    module.ResetClient();
    ASSERT_TRUE(WaitLines(monitor, 5));
    EXPECT_EQ(Untimed(monitor.ViewLines()).last(),
              "TCP close problem: reset by 127.0.0.1:" + QString::number(module.Port()));
}

TEST_F(TrafficWindow, AFailedConnectionIsAProblemLine) {
    quint16 port = 0;
    {
        QTcpServer gone;
        ASSERT_TRUE(gone.listen(QHostAddress::LocalHost));
        port = gone.serverPort();
    }
    TrafficMonitor& monitor = OpenMonitor(*dlg);
    ConnectTo(port);
    ASSERT_TRUE(WaitLines(monitor, 1));
    EXPECT_TRUE(Untimed(monitor.ViewLines())[0].startsWith(
        "TCP fail problem: connect to 127.0.0.1:" + QString::number(port) + " failed: "))
        << monitor.ViewLines()[0].toStdString();
}

// A module streams DI reports faster than the window takes lines in: every frame is counted,
// what the intake has no room for is counted as no longer kept, and the close still comes.
TEST_F(TrafficWindow, AFloodIsCountedWhateverIsKept) {
    LoopbackModule module;
    TrafficMonitor& monitor = OpenMonitor(*dlg);
    ASSERT_TRUE(ConnectedAndRead(module, monitor));
    monitor.Clear();
    constexpr int kReports = 20000;
    QByteArray flood;
    for (int n = 0; n < kReports; ++n) {
        flood +=
            Hex(n % 2 == 0 ? "0001 0000 0006 02 05 0011 FF00" : "0001 0000 0006 02 05 0011 0000");
    }
    module.Send(flood);
    ASSERT_TRUE(WaitFor([&] { return monitor.Log().Counters().received == kReports; }, 60000));
    module.CloseClient();
    ASSERT_TRUE(WaitFor([&] {
        monitor.TakePending();
        return monitor.HistorySize() + monitor.Log().Forgotten() == kReports + 1;
    }));
    const QStringList lines = Untimed(monitor.ViewLines());
    // The view holds the newest rows; how many the history kept depends on how fast it ran.
    const auto shown = std::min(monitor.HistorySize(), TrafficRows::kMostRows);
    ASSERT_EQ(lines.size(), static_cast<qsizetype>(shown));
    EXPECT_TRUE(lines[0].startsWith("TCP rx 00 01 00 00 00 06 02 05 00 11 "))
        << lines[0].toStdString();
    EXPECT_TRUE(lines.last().startsWith("TCP close closed by 127.0.0.1:"))
        << lines.last().toStdString();
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
    const QStringList opened = Untimed(monitor.HistoryLines());  // the port, then the search
    ASSERT_GE(opened.size(), 2);
    EXPECT_TRUE(opened[0].contains(QRegularExpression("^COM7 \\d+ open opened /.*COM7$")))
        << opened[0].toStdString();
    EXPECT_EQ(opened[1], "COM7 1200 step search at 1200 baud");
    monitor.Clear();
    Button(IDC_RL1_ON)->click();
    ASSERT_TRUE(WaitFor([this] { return dlg->IsChecked(RelayId(0)); }));
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
                               " problem: exception 2 to query AI (illegal data address), unit 1",
                           "COM7 1200 drop A5 problem: dropped 1 byte",
                           "COM7 1200 rx " + Rtu("02 05 0011 FF00") + " DI report: DI2 on"}));
}

// ---- where the monitor opens --------------------------------------------------------------------

struct PlaceCase {
    const char* name;
    QRect panel;
    QRect placed;
};

class MonitorPlace : public ::testing::TestWithParam<PlaceCase> {};

// Beside the panel, never over it, on its screen; made smaller where no side has room for it.
TEST_P(MonitorPlace, BesideThePanelOnItsScreen) {
    const QRect screen(0, 0, 1920, 1080);
    const QRect placed = PlaceBeside(GetParam().panel, QSize(720, 360), screen);
    EXPECT_EQ(placed, GetParam().placed);
    EXPECT_FALSE(placed.intersects(GetParam().panel));
    EXPECT_TRUE(screen.contains(placed));
}

INSTANTIATE_TEST_SUITE_P(
    Screens, MonitorPlace,
    ::testing::Values(PlaceCase{"right", {100, 100, 600, 400}, {708, 100, 720, 360}},
                      PlaceCase{"left", {1300, 800, 600, 280}, {572, 720, 720, 360}},
                      PlaceCase{"below", {100, 100, 1700, 500}, {100, 608, 720, 360}},
                      PlaceCase{"shrunk", {300, 0, 1620, 1080}, {0, 0, 292, 360}}),
    [](const auto& p) { return std::string(p.param.name); });

// ---- the window's controls ---------------------------------------------------------------------

// A monitor of its own, fed through the trace as the links feed it.
class MonitorControls : public ::testing::Test {
  protected:
    MonitorControls() { monitor.show(); }
    void Trace(int count, Byte first = 0) {
        for (int n = 0; n < count; ++n) {
            // n in the CRC field, which the summary does not read
            const Byte request[] = {1, 5, 0, 0x10, 0xFF, 0, 0, static_cast<Byte>(first + n)};
            TraceFrame(kLink, "tx", request);
        }
        monitor.TakePending();
    }
    QPushButton* ButtonNamed(const QString& text) {
        for (QPushButton* button : monitor.findChildren<QPushButton*>()) {
            if (button->text() == text) return button;
        }
        return nullptr;
    }

    const TraceLink kLink{"COM3", Framing::ModbusRtu, 19200};
    MessageRecorder recorder;
    TrafficMonitor monitor{[] { return Byte{1}; }};
};

TEST_F(MonitorControls, ResumeShowsWhatCameDuringPause) {
    Trace(1, 0x00);
    QPushButton* pause = ButtonNamed("Pause");
    ASSERT_NE(pause, nullptr);
    pause->click();
    EXPECT_EQ(pause->accessibleName(), "Resume");
    Trace(2, 0x10);
    EXPECT_EQ(monitor.ViewLines().size(), 1);
    EXPECT_TRUE(monitor.StatusText().contains("paused: 2 new lines wait"));
    pause->click();
    EXPECT_EQ(monitor.ViewLines(), monitor.HistoryLines());
    EXPECT_EQ(monitor.ViewLines().size(), 3);
}

// The filter boxes choose the lines; problems are red and say so.
TEST_F(MonitorControls, FiltersAndProblemMarks) {
    Trace(1);
    const Byte stray[] = {0xA5};
    TraceFrame(kLink, "drop", stray);
    monitor.TakePending();
    auto* problems = monitor.findChild<QCheckBox*>();
    ASSERT_NE(problems, nullptr);
    problems->setChecked(true);
    ASSERT_EQ(monitor.ViewLines().size(), 1);
    EXPECT_TRUE(monitor.ViewLines()[0].endsWith("drop  A5  problem: dropped 1 byte"));
    const QModelIndex first = monitor.View()->model()->index(0, 0);
    EXPECT_EQ(first.data(Qt::ForegroundRole).value<QBrush>().color(), QColor(Qt::red));
    EXPECT_EQ(first.data(Qt::ToolTipRole).toString(), monitor.ViewLines()[0]);
}

// Save writes every line kept, on a thread of its own, in the format asked for.
TEST_F(MonitorControls, SaveWritesTheWholeHistory) {
    Trace(3);
    QTemporaryDir dir;
    const QString path = dir.filePath("traffic.csv");
    monitor.SetPathAsker([&path](QWidget*, TrafficFormat& format) {
        format = TrafficFormat::Csv;
        return path;
    });
    ButtonNamed("Save...")->click();
    ASSERT_TRUE(WaitFor([this] {
        monitor.TakePending();
        return !monitor.Saving();
    }));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly | QIODevice::Text));
    EXPECT_EQ(QString::fromUtf8(file.readAll()).count('\n'), 4);
    EXPECT_TRUE(monitor.StatusText().endsWith("3 lines saved to " + path));
    monitor.SaveTo(dir.filePath("missing/traffic.txt"), TrafficFormat::Text);
    ASSERT_TRUE(WaitFor([this] {
        monitor.TakePending();
        return !monitor.Saving();
    }));
    ASSERT_EQ(recorder.messages.size(), 1U);
    EXPECT_TRUE(recorder.messages[0].text.startsWith("The traffic could not be saved to "));
}

// Every control is known by what it shows now and described by its id; the lines are read out
// as they are shown, in the time the operator chose.
TEST_F(MonitorControls, ControlsAndLinesAreReadableByAssistiveTechnology) {
    Trace(2);
    auto* time = monitor.findChild<QComboBox*>();
    ASSERT_NE(time, nullptr);
    time->setCurrentIndex(1);
    EXPECT_TRUE(monitor.ViewLines()[0].contains(QRegularExpression("^\\d{4}-\\d\\d-\\d\\d ")));
    for (QComboBox* box : monitor.findChildren<QComboBox*>()) {
        EXPECT_EQ(box->accessibleName(), box->currentText());
        EXPECT_FALSE(box->accessibleDescription().isEmpty());
    }
    for (QAbstractButton* button : monitor.findChildren<QAbstractButton*>()) {
        EXPECT_EQ(button->accessibleName(), button->text());
        EXPECT_FALSE(button->accessibleDescription().isEmpty()) << button->text().toStdString();
    }
    for (QLabel* label : monitor.findChildren<QLabel*>()) {
        if (label->buddy() == nullptr) {
            EXPECT_EQ(label->accessibleName(), label->text());
        }
    }
    EXPECT_TRUE(monitor.findChildren<QLabel*>().size() >= 2);
    QAccessibleInterface* view = QAccessible::queryAccessibleInterface(monitor.View());
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view->text(QAccessible::Name), "Traffic");
    QAccessibleTableInterface* table = view->tableInterface();
    ASSERT_NE(table, nullptr);
    ASSERT_EQ(table->rowCount(), 2);
    EXPECT_EQ(table->cellAt(1, 0)->text(QAccessible::Name), monitor.ViewLines()[1]);
}

TEST_F(MonitorControls, CopyTakesTheSelectedLinesInOrder) {
    Trace(3);
    QItemSelectionModel* selection = monitor.View()->selectionModel();
    const QAbstractItemModel* model = monitor.View()->model();
    selection->select(model->index(2, 0), QItemSelectionModel::Select);
    selection->select(model->index(0, 0), QItemSelectionModel::Select);
    monitor.CopySelection();
    const QStringList view = monitor.ViewLines();
    EXPECT_EQ(QApplication::clipboard()->text(), view[0] + '\n' + view[2] + '\n');
    monitor.Clear();
    EXPECT_TRUE(monitor.ViewLines().isEmpty());
    EXPECT_TRUE(monitor.HistoryLines().isEmpty());
}

}  // namespace
