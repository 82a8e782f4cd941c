// The figures of the serial link: the reader's round trip on a pseudo-terminal played by the
// bench, idle processor time with the reader running, the search, and a long run.
#include <QComboBox>
#include <algorithm>
#include <array>

#include "bench_sections.h"
#include "main_template.h"
#include "pty_module.h"
#include "serial_rates.h"
#include "sim_harness.h"

namespace {

// Each figure gets a COM number of its own, so no run meets the leftovers of another.
constexpr int kRoundTripCom = 3;
constexpr int kIdleCom = 4;
constexpr int kNoModuleCom = 5;
constexpr int kLongRunCom = 6;
constexpr int kFirstSimCom = 11;

// The search's steps are the panel's own (serial_rates.h); a step that finds nothing makes two
// reads of 33*m ms.
constexpr const auto& kSteps = kSerialRates;
constexpr int kReadWaitPerMultiplier = 33;

// The read waits of a search that finds the module at `step` (kSteps.size(): no module).
double ReadWaitsMs(std::size_t step) {
    double waits = 0.0;
    for (std::size_t n = 0; n < step && n < kSteps.size(); ++n) {
        waits += 2.0 * kReadWaitPerMultiplier * kSteps[n].searchReadMultiplierMs;
    }
    if (step < kSteps.size()) {
        waits += kReadWaitPerMultiplier *
                 kSteps[step].searchReadMultiplierMs;  // found on the first read
    }
    return waits;
}

double TimedSearchMs(KestrelWindow& dlg, bool& found) {
    const auto start = BenchClock::now();
    found = SearchCom(dlg);
    return std::chrono::duration<double, std::milli>(BenchClock::now() - start).count();
}

void AddSearchRow(BenchTable& table, const std::string& figure, double tookMs, double waitsMs) {
    // Never faster than the waits (they are the pacing of the line), at most a tenth slower.
    const bool met = tookMs >= waitsMs * 0.99 && tookMs <= waitsMs * 1.10;
    table.Check(figure,
                Format("%.0f ms (read waits %.0f ms, %+.0f ms)", tookMs, waitsMs, tookMs - waitsMs),
                "read waits, +10 % at most", met);
}

// The panel with its port open on the bench's module and the module found: the reader runs.
bool ConnectModule(KestrelWindow& dlg, const PtyModule& module, int com) {
    return module.Ready() && OpenCom(dlg, com) && SearchCom(dlg);
}

void SearchWithoutModule(BenchTable& table, const BenchOptions& options) {
    const std::string figure =
        Format("4. Serial search, no module (median of %d)", options.searchRuns);
    PtyModule silent(options.comDir, kNoModuleCom, false);
    auto dlg = NewPanel();
    if (!silent.Ready() || !OpenCom(*dlg, kNoModuleCom)) {
        table.Failed(figure, "the port did not open", "read waits");
        return;
    }
    std::vector<double> runs;
    for (int run = 0; run < options.searchRuns; ++run) {
        bool found = false;
        runs.push_back(TimedSearchMs(*dlg, found));
        if (found) {
            table.Failed(figure, "a module was found on a silent line", "read waits");
            return;
        }
    }
    std::sort(runs.begin(), runs.end());
    AddSearchRow(table, figure, runs[runs.size() / 2], ReadWaitsMs(kSteps.size()));
}

void SearchWithModuleAt(BenchTable& table, std::size_t step) {
    const int com = kFirstSimCom + static_cast<int>(step);
    const std::string figure = Format("4. Serial search, kestrel-sim at %u", kSteps[step].baud);
    const simtest::SimProcess sim(
        {"--serial", "COM" + std::to_string(com), "--baud", std::to_string(kSteps[step].baud)}, {},
        false);
    auto dlg = NewPanel();
    if (!sim.Started() || !OpenCom(*dlg, com)) {
        table.Failed(figure, "the simulator's port did not open", "read waits");
        return;
    }
    bool found = false;
    const double took = TimedSearchMs(*dlg, found);
    if (!found || dlg->Item<QComboBox>(IDC_BAUD)->currentIndex() != static_cast<int>(step)) {
        table.Failed(figure, "the module was not found at its rate", "read waits");
        return;
    }
    AddSearchRow(table, figure, took, ReadWaitsMs(step));
}

}  // namespace

void BenchSerialRoundTrip(BenchTable& table, const BenchOptions& options) {
    const char* goal = "p99 < 1 ms";
    PtyModule module(options.comDir, kRoundTripCom, true);
    auto dlg = NewPanel();
    if (!ConnectModule(*dlg, module, kRoundTripCom)) {
        table.Failed("2. Serial relay round trip", "the module was not found", goal);
        return;
    }
    RelayRoundTrip trips(*dlg);
    trips.Reserve(options.warmUp + options.roundTrips);
    const bool warmed = trips.Run(options.warmUp);
    module.ReserveStamps(options.roundTrips);
    if (!warmed || !trips.Run(options.roundTrips)) {
        table.Failed("2. Serial relay round trip", "an echo did not show", goal);
        return;
    }
    const auto replied =
        Summarise(Durations(module.TakeStamps(), trips.Shown(), options.roundTrips));
    const auto whole = Summarise(Durations(trips.Pressed(), trips.Shown(), options.roundTrips));
    table.Check("2. Serial (pty): echo written to RL1 indicator", Describe(replied), goal,
                replied.count == options.roundTrips && replied.p99 < 1000.0);
    table.Info("2. Serial (pty): press to RL1 indicator", Describe(whole));
}

void IdleSerialRow(BenchTable& table, const BenchOptions& options) {
    const std::string figure =
        Format("3. Idle CPU over %d s, serial reader on a quiet line", options.idleSeconds);
    PtyModule module(options.comDir, kIdleCom, true);
    auto dlg = NewPanel();
    if (!ConnectModule(*dlg, module, kIdleCom)) {
        table.Failed(figure, "the module was not found", "< 0.2 % of a core");
        return;
    }
    const IdleUse use = MeasureIdle(options.idleSeconds);
    table.Check(figure, DescribeIdle(use), "< 0.2 % of a core", use.cpuPercent < 0.2);
}

void BenchSearch(BenchTable& table, const BenchOptions& options) {
    SearchWithoutModule(table, options);
    for (std::size_t step = 0; step < kSteps.size(); ++step) {
        SearchWithModuleAt(table, step);
    }
}

void LongSerialRow(BenchTable& table, const BenchOptions& options) {
    PtyModule module(options.comDir, kLongRunCom, true);
    auto dlg = NewPanel();
    if (!ConnectModule(*dlg, module, kLongRunCom)) {
        table.Failed("7. Long run over a pseudo-terminal", "the module was not found",
                     "flat resident size");
        return;
    }
    RelayRoundTrip trips(*dlg);
    AddLongRunRow(table, "a pseudo-terminal", RunLongRelay(trips, options.longCommands));
}
