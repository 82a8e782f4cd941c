#include "panel_round_trip.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include "bench_table.h"
#include "main_template.h"
#include "process_stats.h"

namespace {
constexpr int kStallBoundMs = 3000;  // no echo for this long: the run has failed
constexpr int kWakeIntervalMs = 10;  // how often a wait looks at its condition without events
constexpr int kConnectBoundMs = 5000;
constexpr int kSettleMs = 500;
constexpr int kSearchBoundMs = 30000;
}  // namespace

bool RunEventsUntil(const std::function<bool()>& condition, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    QTimer wake;
    wake.start(kWakeIntervalMs);  // an event at least this often, so the bound is kept
    while (!condition()) {
        if (timer.elapsed() > timeoutMs) {
            return false;
        }
        QApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

std::unique_ptr<KestrelWindow> NewPanel() {
    auto dlg = std::make_unique<KestrelWindow>();
    dlg->show();
    return dlg;
}

bool ConnectTcp(KestrelWindow& dlg, quint16 port) {
    dlg.Item<QLineEdit>(IDC_IP)->setText(QStringLiteral("127.0.0.1"));
    dlg.Item<QLineEdit>(IDC_PORT)->setText(QString::number(port));
    dlg.Item<QPushButton>(IDC_CONNECT)->click();
    // "Advanced" waits for the parameter reply, which a flooding peer never sends.
    if (!RunEventsUntil(
            [&] { return ReportText(dlg).startsWith(QStringLiteral("TCP Client Connected")); },
            kConnectBoundMs)) {
        return false;
    }
    // The connect reads the parameters; their replies come before any relay echo, and the
    // address they carry is the one the echoes are matched against.
    return RunEventsUntil([&] { return ShownAddress(dlg) != 0; }, kConnectBoundMs);
}

bool OpenCom(KestrelWindow& dlg, int com) {
    dlg.Item<QComboBox>(IDC_COM)->setCurrentIndex(com - 1);
    dlg.Item<QPushButton>(IDC_SERIAL_OPEN)->click();
    return ComOpen(dlg);
}

bool SearchCom(KestrelWindow& dlg) {
    dlg.Item<QPushButton>(IDC_SERIAL_SEARCH)->click();
    RunEventsUntil([&dlg] { return !dlg.Dlg().OperationRunning(); }, kSearchBoundMs);
    return ReportText(dlg).startsWith(QStringLiteral("Found device!"));
}

// Runs the event loop for `ms` and returns the wall time it took.
qint64 RunEventLoopFor(int ms) {
    QElapsedTimer wall;
    wall.start();
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
    return wall.elapsed();
}

IdleUse MeasureIdle(int seconds) {
    RunEventLoopFor(kSettleMs);  // the first paint and whatever a connect left to do
    const double cpuBefore = ProcessCpuMs();
    const long waitsBefore = ProcessWaits();
    const auto wallMs = static_cast<double>(RunEventLoopFor(seconds * 1000));
    const double cpuMs = ProcessCpuMs() - cpuBefore;
    const auto waits = static_cast<double>(ProcessWaits() - waitsBefore);
    return {100.0 * cpuMs / wallMs, waits * 1000.0 / wallMs};
}

std::string DescribeIdle(const IdleUse& use) {
    return Format("%.3f %% of a core, %.0f wake-ups/s", use.cpuPercent, use.wakeupsPerSecond);
}

RelayRoundTrip::RelayRoundTrip(KestrelWindow& dlg) : m_dlg(dlg) {
    connect(m_dlg.Item<QCheckBox>(RelayId(0)), &QCheckBox::toggled, this,
            &RelayRoundTrip::OnIndicator);
}

void RelayRoundTrip::Reserve(std::size_t count) {
    m_pressed.assign(count, BenchClock::time_point{});
    m_shown.assign(count, BenchClock::time_point{});
}

bool RelayRoundTrip::Run(std::size_t count) {
    if (m_pressed.size() < count) {
        Reserve(count);
    }
    m_count = count;
    m_done = 0;
    m_running = true;
    QEventLoop loop;
    std::size_t doneAtLastLook = 0;
    QTimer stall;
    connect(&stall, &QTimer::timeout, &loop, [&] {
        if (m_done == doneAtLastLook) {
            loop.quit();  // no echo since the last look
        }
        doneAtLastLook = m_done;
    });
    stall.start(kStallBoundMs);
    QTimer::singleShot(0, this, [this] { PressNext(); });
    m_loop = &loop;
    loop.exec();
    m_loop = nullptr;
    m_running = false;
    return m_done == m_count;
}

void RelayRoundTrip::PressNext() {
    m_expectChecked = !m_dlg.IsChecked(RelayId(0));
    const int button =
        m_expectChecked ? IDC_RL1_ON : IDC_RL1_ON + 1;  // "RL1 Closed" / "Disconnect"
    m_pressed[m_done] = BenchClock::now();
    m_dlg.Item<QPushButton>(button)->click();
}

void RelayRoundTrip::OnIndicator(bool checked) {
    if (!m_running || m_done >= m_count || checked != m_expectChecked) {
        return;
    }
    m_shown[m_done] = BenchClock::now();
    ++m_done;
    if (m_done == m_count) {
        m_loop->quit();
        return;
    }
    // The next press comes from the event loop, as the operator's next click would.
    QMetaObject::invokeMethod(
        this, [this] { PressNext(); }, Qt::QueuedConnection);
}

std::vector<double> Durations(const Stamps& start, const Stamps& end, std::size_t count) {
    std::vector<double> micros;
    micros.reserve(count);
    for (std::size_t n = 0; n < count && n < start.size() && n < end.size(); ++n) {
        micros.push_back(std::chrono::duration<double, std::micro>(end[n] - start[n]).count());
    }
    return micros;
}

LongRun RunLongRelay(RelayRoundTrip& trips, std::size_t commands) {
    LongRun run;
    run.commands = commands;
    const std::size_t warm = commands / 100;
    trips.Reserve(commands);
    run.startKib = ResidentKib();
    QElapsedTimer wall;
    wall.start();
    if (!trips.Run(warm)) {
        return run;
    }
    run.warmKib = ResidentKib();
    run.completed = trips.Run(commands - warm);
    run.endKib = ResidentKib();
    run.seconds = static_cast<double>(wall.elapsed()) / 1000.0;
    run.micros = Durations(trips.Pressed(), trips.Shown(), commands - warm);
    return run;
}
