// The window during its long operations: the serial search of a silent line, the network search
// and the paced parameter write. Each runs while a 1 ms timer ticks on the user-interface thread;
// the longest gap between two ticks is how long the window could not have answered.
#include <QApplication>
#include <QComboBox>
#include <QPushButton>

#include "bench_sections.h"
#include "main_template.h"
#include "pty_module.h"
#include "sim_harness.h"
#include "stall_probe.h"

namespace {

constexpr double kGoalMs = 50.0;
constexpr int kSilentCom = 8;
constexpr int kOperationBoundMs = 30000;
constexpr int kModalPollMs = 5;

struct StallRun {
    bool completed = false;
    double stallMs = 0.0;
    double seconds = 0.0;
};

// Presses the button and measures until the operation it started has ended.
StallRun MeasureOperation(KestrelWindow& dlg, int button) {
    StallProbe probe;
    probe.Start();
    dlg.Item<QPushButton>(button)->click();
    const bool done =
        dlg.Dlg().OperationRunning() &&
        RunEventsUntil([&dlg] { return !dlg.Dlg().OperationRunning(); }, kOperationBoundMs);
    const double seconds = probe.SecondsSinceStart();
    return {done, probe.LongestMs(), seconds};
}

void AddStallRow(BenchTable& table, const std::string& figure, const StallRun& run) {
    if (!run.completed) {
        table.Failed(figure, "the operation did not run to its end", "< 50 ms");
        return;
    }
    table.Check(figure, Format("longest stall %.1f ms over %.2f s", run.stallMs, run.seconds),
                "< 50 ms", run.stallMs < kGoalMs);
}

StallRun SilentSerialSearch(const BenchOptions& options) {
    PtyModule silent(options.comDir, kSilentCom, false);
    auto dlg = NewPanel();
    if (!silent.Ready() || !OpenCom(*dlg, kSilentCom)) {
        return {};
    }
    return MeasureOperation(*dlg, IDC_SERIAL_SEARCH);
}

StallRun NetworkSearch() {
    auto dlg = NewPanel();
    return MeasureOperation(*dlg, IDC_NET_SEARCH);
}

// Confirms the "Advanced" dialog as soon as it is open, as the operator's OK would.
void ConfirmNextModal(QObject& owner) {
    auto* timer = new QTimer(&owner);
    QObject::connect(timer, &QTimer::timeout, timer, [timer] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            timer->stop();
            timer->deleteLater();
            modal->findChild<QPushButton*>(QStringLiteral("item1"))->click();
        }
    });
    timer->start(kModalPollMs);
}

// In RTU framing the write also holds the 200 ms pause between the two reads that follow it.
StallRun RtuParameterWrite() {
    const simtest::SimProcess sim({"--tcp", "127.0.0.1:0", "--framing", "rtu", "--no-discovery"},
                                  {}, false);
    auto dlg = NewPanel();
    dlg->Item<QComboBox>(IDC_PROTOCOL)->setCurrentIndex(1);
    auto* advanced = dlg->Item<QPushButton>(IDC_ADVANCED);
    if (!sim.Started() || !ConnectTcp(*dlg, sim.Port()) ||
        !RunEventsUntil([advanced] { return advanced->isEnabled(); }, kOperationBoundMs)) {
        return {};
    }
    ConfirmNextModal(*dlg);
    return MeasureOperation(*dlg, IDC_ADVANCED);
}

}  // namespace

void BenchStalls(BenchTable& table, const BenchOptions& options) {
    AddStallRow(table, "9. Window during the serial search, no module",
                SilentSerialSearch(options));
    AddStallRow(table, "9. Window during the network search", NetworkSearch());
    AddStallRow(table, "9. Window during the parameter write (MODBUS RTU over TCP)",
                RtuParameterWrite());
}
