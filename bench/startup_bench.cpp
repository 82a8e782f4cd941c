// Start-up of the panel program: from starting the process to its trace line
// "panel window shown: ...", and its resident size at that moment.
#include <signal.h>

#include <QElapsedTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <algorithm>

#include "bench_sections.h"
#include "process_stats.h"

namespace {

constexpr int kShownBoundMs = 10000;
constexpr int kExitBoundMs = 5000;
constexpr double kGoalMs = 300.0;
constexpr double kGoalMegabytes = 60.0;  // 10^6 bytes

struct Startup {
    bool shown = false;
    double ms = 0.0;
    long residentKib = 0;
    bool exitedOnTerm = false;
};

QProcessEnvironment PanelEnvironment() {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("KESTREL_TRACE"), QStringLiteral("1"));
    env.insert(QStringLiteral("KESTREL_DISCOVERY_SCOPE"), QStringLiteral("loopback"));
    return env;
}

// Reads trace lines until the window-shown line or the bound.
bool WaitForShownLine(QProcess& panel, const QElapsedTimer& since) {
    while (since.elapsed() < kShownBoundMs) {
        while (panel.canReadLine()) {
            if (panel.readLine().contains("panel window shown:")) {
                return true;
            }
        }
        const int left = kShownBoundMs - static_cast<int>(since.elapsed());
        if (!panel.waitForReadyRead(std::max(left, 1))) {
            return false;
        }
    }
    return false;
}

Startup StartOnce() {
    Startup result;
    QProcess panel;
    panel.setProcessEnvironment(PanelEnvironment());
    panel.setReadChannel(QProcess::StandardError);
    panel.setStandardOutputFile(QProcess::nullDevice());
    QElapsedTimer since;
    since.start();
    panel.start(QStringLiteral(KESTREL_EXE), {});
    result.shown = panel.waitForStarted(kShownBoundMs) && WaitForShownLine(panel, since);
    result.ms = static_cast<double>(since.nsecsElapsed()) / 1e6;
    result.residentKib = ResidentKib(static_cast<pid_t>(panel.processId()));
    ::kill(static_cast<pid_t>(panel.processId()), SIGTERM);
    result.exitedOnTerm =
        panel.waitForFinished(kExitBoundMs) && panel.exitStatus() == QProcess::NormalExit;
    if (!result.exitedOnTerm) {
        panel.kill();
        panel.waitForFinished(kExitBoundMs);
    }
    return result;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

void BenchStartup(BenchTable& table, const BenchOptions& options) {
    std::vector<double> times;
    std::vector<double> megabytes;
    for (int run = 0; run < options.startupRuns; ++run) {
        const Startup startup = StartOnce();
        if (!startup.shown || startup.residentKib <= 0) {
            table.Failed("5. Start-up to window shown", "no window-shown trace line", "< 300 ms");
            return;
        }
        if (!startup.exitedOnTerm) {
            table.Info("5. Start-up: SIGTERM", "the panel did not end on SIGTERM");
        }
        times.push_back(startup.ms);
        megabytes.push_back(static_cast<double>(startup.residentKib) * 1024.0 / 1e6);
    }
    const double ms = Median(times);
    const double mb = Median(megabytes);
    table.Check(Format("5. Start-up to window shown (median of %d)", options.startupRuns),
                Format("%.0f ms (%.0f..%.0f)", ms, *std::min_element(times.begin(), times.end()),
                       *std::max_element(times.begin(), times.end())),
                "< 300 ms", ms < kGoalMs);
    table.Check("5. Resident size at window shown (median)", Format("%.1f MB", mb), "< 60 MB",
                mb < kGoalMegabytes);
}
