// The figures of the TCP link: round trips of the panel beside two independent clients, idle
// processor time with a connected link, and a long run.
#include <QApplication>
#include <QCheckBox>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "bench_sections.h"
#include "panel_round_trip.h"
#include "peer_clients.h"
#include "process_stats.h"
#include "sim_harness.h"

namespace {

constexpr double kPanelOverLibmodbus = 1.5;
constexpr double kMonitorOverPanel = 1.10;
// A network module on loopback on a free port, not answering discovery.
const std::vector<std::string> kTcpModule{"--tcp", "127.0.0.1:0", "--no-discovery"};

void AddRatioRows(BenchTable& table, const Percentiles& panel, const Percentiles& native) {
    const double p50 = panel.p50 / native.p50;
    const double p99 = panel.p99 / native.p99;
    table.Check("1. TCP round trip, panel / libmodbus at p50", Format("%.2fx", p50), "<= 1.5x",
                p50 <= kPanelOverLibmodbus);
    table.Check("1. TCP round trip, panel / libmodbus at p99", Format("%.2fx", p99), "<= 1.5x",
                p99 <= kPanelOverLibmodbus);
}

// The panel's round trips over a fresh connection to the simulator, with the traffic monitor
// open or not.
RoundTrips PanelRoundTripsWith(bool monitor, quint16 port, std::size_t warmUp, std::size_t count,
                               std::string& error) {
    auto dlg = NewPanel();
    if (monitor) {
        dlg->Dlg().OnTraffic();
    }
    if (!ConnectTcp(*dlg, port)) {
        error = "the panel did not connect";
        return {};
    }
    RelayRoundTrip trips(*dlg);
    trips.Reserve(warmUp + count);
    if (!trips.Run(warmUp)) {
        error = "an echo did not show";
        return {};
    }
    const double cpuBefore = ProcessCpuMs();
    if (!trips.Run(count)) {
        error = "an echo did not show";
        return {};
    }
    const double cpuMs = ProcessCpuMs() - cpuBefore;
    dlg->Dlg().DisconnectTcp();
    return {Durations(trips.Pressed(), trips.Shown(), count), cpuMs};
}

RoundTrips PanelRoundTrips(quint16 port, std::size_t warmUp, std::size_t count,
                           std::string& error) {
    return PanelRoundTripsWith(false, port, warmUp, count, error);
}

RoundTrips MonitoredRoundTrips(quint16 port, std::size_t warmUp, std::size_t count,
                               std::string& error) {
    return PanelRoundTripsWith(true, port, warmUp, count, error);
}

// One client's samples over all rounds, and the first failure if any.
struct ClientRun {
    const char* name;
    RoundTrips (*measure)(quint16, std::size_t, std::size_t, std::string&);
    std::vector<double> micros;
    double cpuMs = 0.0;
    std::string error;
};

// The clients take turns, a share of the commands each per round, so a change in the load of
// the machine during the run falls on all of them alike.
void RunInRounds(std::vector<ClientRun>& clients, quint16 port, const BenchOptions& options) {
    const std::size_t share = options.roundTrips / options.rounds;
    const std::size_t warmUp = options.warmUp / options.rounds;
    for (int round = 0; round < options.rounds; ++round) {
        for (ClientRun& client : clients) {
            if (!client.error.empty()) {
                continue;
            }
            const RoundTrips trips = client.measure(port, warmUp, share, client.error);
            client.micros.insert(client.micros.end(), trips.micros.begin(), trips.micros.end());
            client.cpuMs += trips.cpuMs;
        }
    }
}

void AddClientRow(BenchTable& table, const ClientRun& client) {
    const std::string figure = std::string("1. TCP relay round trip, ") + client.name;
    if (!client.error.empty() || client.micros.empty()) {
        table.Failed(figure, client.error);
        return;
    }
    std::string measured = Describe(Summarise(client.micros));
    if (client.cpuMs >= 0.0) {  // a client in this process
        measured += Format("; CPU %.1f us/command",
                           client.cpuMs * 1000.0 / static_cast<double>(client.micros.size()));
    }
    table.Info(figure, measured);
}

// Processor time of one turn of `step` followed by the repaint it causes, in microseconds.
double CpuPerRepaintedStep(const std::function<void(int)>& step) {
    constexpr int kTurns = 2000;
    QApplication::processEvents();
    const double before = ProcessCpuMs();
    for (int turn = 0; turn < kTurns; ++turn) {
        step(turn);
        QApplication::processEvents();  // the posted repaint runs here
    }
    return (ProcessCpuMs() - before) * 1000.0 / kTurns;
}

// Where the panel's time per reply goes, without any link: the window's refresh of all its
// fields (UpdateData(false), which every network reply ends with) and the relay indicator's
// change, each with the repaint that follows.
void AddRepaintRow(BenchTable& table) {
    auto dlg = NewPanel();
    const double refresh = CpuPerRepaintedStep([&](int) { dlg->Dlg().UpdateData(false); });
    const double indicator = CpuPerRepaintedStep(
        [&](int turn) { dlg->Item<QCheckBox>(RelayId(0))->setChecked(turn % 2 == 0); });
    const double nothing = CpuPerRepaintedStep([](int) {});
    table.Info("1. Panel CPU per reply, no link: refresh / indicator / empty turn",
               Format("UpdateData(false) + repaint %.1f us, indicator + repaint %.1f us, "
                      "event-loop turn %.1f us",
                      refresh, indicator, nothing));
}

}  // namespace

void BenchTcpRoundTrip(BenchTable& table, const BenchOptions& options) {
    const simtest::SimProcess sim(kTcpModule, {}, false);
    if (!sim.Started()) {
        table.Failed("1. TCP relay round trip", "kestrel-sim did not start", "<= 1.5x libmodbus");
        return;
    }
    std::vector<ClientRun> clients = {
        {"panel (press to indicator)", PanelRoundTrips, {}, 0.0, {}},
        {"libmodbus modbus_write_bit", LibmodbusRoundTrips, {}, 0.0, {}},
        {"bare QTcpSocket on the event loop", QtSocketRoundTrips, {}, 0.0, {}},
        {"pymodbus write_coil", PymodbusRoundTrips, {}, 0.0, {}},
    };
    RunInRounds(clients, sim.Port(), options);
    for (const ClientRun& client : clients) {
        AddClientRow(table, client);
    }
    const ClientRun& panel = clients[0];
    const ClientRun& native = clients[1];
    if (panel.error.empty() && native.error.empty()) {
        AddRatioRows(table, Summarise(panel.micros), Summarise(native.micros));
    }
    AddRepaintRow(table);
}

void IdleTcpRow(BenchTable& table, const BenchOptions& options) {
    const simtest::SimProcess sim(kTcpModule, {}, false);
    auto dlg = NewPanel();
    if (!sim.Started() || !ConnectTcp(*dlg, sim.Port())) {
        table.Failed("3. Idle CPU, TCP link connected", "no link", "< 0.2 % of a core");
        return;
    }
    const IdleUse use = MeasureIdle(options.idleSeconds);
    table.Check(Format("3. Idle CPU over %d s, TCP link connected", options.idleSeconds),
                DescribeIdle(use), "< 0.2 % of a core", use.cpuPercent < 0.2);
}

void LongTcpRow(BenchTable& table, const BenchOptions& options) {
    const simtest::SimProcess sim(kTcpModule, {}, false);
    auto dlg = NewPanel();
    if (!sim.Started() || !ConnectTcp(*dlg, sim.Port())) {
        table.Failed("7. Long run over TCP", "no link", "flat resident size");
        return;
    }
    RelayRoundTrip trips(*dlg);
    AddLongRunRow(table, "TCP", RunLongRelay(trips, options.longCommands));
}

void AddLongRunRow(BenchTable& table, const char* link, const LongRun& run) {
    const std::string figure = Format("7. %zu relay commands over %s", run.commands, link);
    if (!run.completed) {
        table.Failed(figure, "an echo did not show", "flat resident size");
        return;
    }
    const long growth = run.endKib - run.warmKib;
    table.Check(figure,
                Format("RSS %.1f MiB at start, %.1f after %zu, %.1f at end (%+ld KiB); %.1f s, %s",
                       static_cast<double>(run.startKib) / 1024.0,
                       static_cast<double>(run.warmKib) / 1024.0, run.commands / 100,
                       static_cast<double>(run.endKib) / 1024.0, growth, run.seconds,
                       Describe(Summarise(run.micros)).c_str()),
                "flat: < 1 MiB growth after the first 1%", growth < 1024);
}

// The panel's round trips with the traffic monitor open and without, in turns over one
// simulator, so both figures come from the same run.
void BenchMonitorRoundTrip(BenchTable& table, const BenchOptions& options) {
    const simtest::SimProcess sim(kTcpModule, {}, false);
    if (!sim.Started()) {
        table.Failed("1. TCP relay round trip, monitor open", "kestrel-sim did not start",
                     "<= 1.10x");
        return;
    }
    std::vector<ClientRun> clients = {
        {"panel (press to indicator)", PanelRoundTrips, {}, 0.0, {}},
        {"panel with the traffic monitor open", MonitoredRoundTrips, {}, 0.0, {}},
    };
    RunInRounds(clients, sim.Port(), options);
    for (const ClientRun& client : clients) {
        AddClientRow(table, client);
    }
    if (!clients[0].error.empty() || !clients[1].error.empty()) {
        return;
    }
    const Percentiles without = Summarise(clients[0].micros);
    const Percentiles with = Summarise(clients[1].micros);
    const double p50 = with.p50 / without.p50;
    table.Check("1. TCP round trip, monitor open / closed at p50", Format("%.2fx", p50), "<= 1.10x",
                p50 <= kMonitorOverPanel);
    table.Info("1. TCP round trip, monitor open / closed at p99",
               Format("%.2fx", with.p99 / without.p99));
}
