// The benchmark command: measures the panel's figures side by side in one run and prints them
// as one table (scripts/bench.sh builds it optimised and runs it).
//   kestrel-bench [--quick]
//                 [--only=rtt-tcp,rtt-monitor,rtt-serial,idle,search,startup,framers,long,
//                         flood,stalls,cli]
//                 [--no-pin]
// Everything runs on loopback and on pseudo-terminals; message boxes are counted, not shown.
#include <sched.h>

#include <QApplication>
#include <QStringList>
#include <QTemporaryDir>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string_view>

#include "bench_sections.h"
#include "message_box.h"
#include "process_stats.h"

namespace {

struct Section {
    const char* name;
    const char* title;
    std::function<void(BenchTable&, const BenchOptions&)> run;
};

void BenchIdleAll(BenchTable& table, const BenchOptions& options) {
    auto dlg = NewPanel();
    const IdleUse use = MeasureIdle(options.idleSeconds);
    dlg.reset();
    table.Info(Format("3. Idle CPU over %d s, no link (for comparison)", options.idleSeconds),
               DescribeIdle(use));
    IdleTcpRow(table, options);
    IdleSerialRow(table, options);
}

void BenchLongAll(BenchTable& table, const BenchOptions& options) {
    LongTcpRow(table, options);
    LongSerialRow(table, options);
}

const std::vector<Section>& Sections() {
    static const std::vector<Section> sections = {
        {"rtt-tcp", "round trips over TCP", BenchTcpRoundTrip},
        {"rtt-monitor", "round trips over TCP with the traffic monitor", BenchMonitorRoundTrip},
        {"rtt-serial", "round trips over a pseudo-terminal", BenchSerialRoundTrip},
        {"idle", "idle processor time", BenchIdleAll},
        {"search", "serial search", BenchSearch},
        {"startup", "start-up", BenchStartup},
        {"framers", "framer throughput", BenchFramers},
        {"long", "long runs", BenchLongAll},
        {"flood", "floods", BenchFlood},
        {"stalls", "the window during long operations", BenchStalls},
        {"cli", "kestrel-cli over many modules", BenchCli},
    };
    return sections;
}

BenchOptions QuickOptions(BenchOptions options) {
    options.roundTrips = 200;
    options.warmUp = 20;
    options.rounds = 2;
    options.longCommands = 5000;
    options.idleSeconds = 2;
    options.startupRuns = 3;
    options.searchRuns = 1;
    options.framerMiB = 4;
    options.framerSearchTries = 40;
    options.floodMiB = 4;
    options.floodPtyAnalogMiB = 1;
    options.cliModules = 10;
    options.cliRuns = 1;
    return options;
}

bool Wanted(const QStringList& only, const char* name) {
    return only.isEmpty() || only.contains(QString::fromLatin1(name));
}

// Puts this process, and every process it starts, on the last processor it may use. With the
// panel, the simulator and the clients on one processor the figures measure the work each side
// does; spread over processors they also measure the wake-up of an idle one, which on a
// virtual machine costs 20-40 us at random and made the figures of two runs disagree.
int PinToOneProcessor() {
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) {
        return -1;
    }
    for (int cpu = CPU_SETSIZE - 1; cpu >= 0; --cpu) {
        if (CPU_ISSET(cpu, &allowed)) {
            cpu_set_t one;
            CPU_ZERO(&one);
            CPU_SET(cpu, &one);
            return sched_setaffinity(0, sizeof one, &one) == 0 ? cpu : -1;
        }
    }
    return -1;
}

// Keeps the run on loopback and off the screen, and the traffic trace off.
void PrepareEnvironment() {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    setenv("KESTREL_DISCOVERY_SCOPE", "loopback", 1);
    unsetenv("KESTREL_TRACE");
    std::signal(SIGPIPE, SIG_IGN);
}

}  // namespace

int main(int argc, char** argv) {
    const bool pin = std::none_of(argv + 1, argv + argc,
                                  [](const char* a) { return std::string_view(a) == "--no-pin"; });
    const int cpu = pin ? PinToOneProcessor() : -1;  // before any thread starts
    PrepareEnvironment();
    QApplication application(argc, argv);
    BenchOptions options;
    QStringList only;
    for (const QString& argument : QApplication::arguments().mid(1)) {
        if (argument == QStringLiteral("--quick")) {
            options = QuickOptions(options);
        } else if (argument == QStringLiteral("--no-pin")) {
            continue;
        } else if (argument.startsWith(QStringLiteral("--only="))) {
            only = argument.mid(7).split(QLatin1Char(','));
        } else {
            std::fprintf(stderr,
                         "usage: kestrel-bench [--quick] [--only=SECTION,...] [--no-pin]\n");
            return 2;
        }
    }
    QTemporaryDir comDir;
    options.comDir = comDir.path();
    qputenv("KESTREL_COM_DIR", comDir.path().toUtf8());
    std::size_t boxes = 0;
    SetMessageBoxHook([&boxes](const ShownMessage&) { ++boxes; });

    BenchTable table;
    for (const Section& section : Sections()) {
        if (Wanted(only, section.name)) {
            std::fprintf(stderr, "kestrel-bench: %s...\n", section.title);
            section.run(table, options);
        }
    }
    std::printf("Machine: %s\n", MachineSummary().c_str());
    std::printf("%s\n\n",
                cpu >= 0 ? Format("Pinned to processor %d with everything it starts", cpu).c_str()
                         : "Not pinned");
    table.Print(stdout);
    std::printf("\n%zu goal(s) missed; %zu message box(es) recorded instead of shown.\n",
                table.MissedGoals(), boxes);
    return 0;
}
