// kestrel-cli over many modules: the parameter blocks of 100 simulated network modules read in
// one call (--tcp @FILE params), timed from the start of the process to its end.
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryFile>
#include <QTextStream>
#include <algorithm>
#include <memory>

#include "bench_sections.h"
#include "sim_harness.h"

namespace {

constexpr int kRunBoundMs = 120000;

struct CliRun {
    bool ok = false;
    double ms = 0.0;
    std::string failure;
};

CliRun RunOnce(const QString& targets, int modules, bool rtu) {
    CliRun run;
    QProcess cli;
    QStringList arguments = {QStringLiteral("--tcp"), QLatin1Char('@') + targets,
                             QStringLiteral("--json"), QStringLiteral("params")};
    if (rtu) {
        arguments << QStringLiteral("--rtu");
    }
    QElapsedTimer since;
    since.start();
    cli.start(QStringLiteral(KESTREL_CLI_EXE), arguments);
    const bool ended = cli.waitForFinished(kRunBoundMs);
    run.ms = static_cast<double>(since.nsecsElapsed()) / 1e6;
    const QList<QByteArray> lines = cli.readAllStandardOutput().trimmed().split('\n');
    const auto good = std::count_if(lines.begin(), lines.end(), [](const QByteArray& line) {
        return line.contains("\"ok\":true") && line.contains("\"address\":");
    });
    run.ok = ended && cli.exitCode() == 0 && good == modules;
    if (!run.ok) {
        run.failure =
            Format("exit %d, %d of %d blocks read: %s", cli.exitCode(), static_cast<int>(good),
                   modules, cli.readAllStandardError().left(200).constData());
        if (!ended) cli.kill();
    }
    return run;
}

// One framing: in RTU the panel's parameter read pauses 200 ms between its two requests.
void BenchCliFraming(BenchTable& table, const BenchOptions& options, bool rtu) {
    const int modules = options.cliModules;
    const std::string figure =
        Format("10. kestrel-cli --tcp @FILE%s params, %d simulated modules in one call",
               rtu ? " --rtu" : "", modules);
    std::vector<std::unique_ptr<simtest::SimProcess>> sims;
    QTemporaryFile targets;
    if (!targets.open()) {
        table.Failed(figure, "no temporary file for the targets");
        return;
    }
    QTextStream out(&targets);
    for (int n = 0; n < modules; ++n) {
        sims.push_back(std::make_unique<simtest::SimProcess>(std::vector<std::string>{
            "--tcp", "127.0.0.1:0", "--no-discovery", "--framing", rtu ? "rtu" : "tcp", "--address",
            std::to_string(1 + n % 247)}));
        out << "127.0.0.1:" << sims.back()->Port() << "\n";
    }
    out.flush();
    std::vector<double> times;
    for (int run = 0; run < options.cliRuns; ++run) {
        const CliRun result = RunOnce(targets.fileName(), modules, rtu);
        if (!result.ok) {
            table.Failed(figure, result.failure);
            return;
        }
        times.push_back(result.ms);
    }
    std::sort(times.begin(), times.end());
    table.Info(Format("%s (median of %d)", figure.c_str(), options.cliRuns),
               Format("%.0f ms (%.0f..%.0f), at most 32 links at once", times[times.size() / 2],
                      times.front(), times.back()));
}

}  // namespace

void BenchCli(BenchTable& table, const BenchOptions& options) {
    BenchCliFraming(table, options, false);
    BenchCliFraming(table, options, true);
}
