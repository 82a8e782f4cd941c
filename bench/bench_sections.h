#pragma once

#include <QString>
#include <cstddef>

#include "bench_table.h"
#include "panel_round_trip.h"

// How much each figure measures; --quick shrinks everything for a trial of the bench itself.
struct BenchOptions {
    std::size_t roundTrips = 5000;  // per client, after a warm-up
    std::size_t warmUp = 500;
    int rounds = 5;  // the TCP clients take turns this often
    std::size_t longCommands = 100000;
    int idleSeconds = 10;
    int startupRuns = 7;
    int searchRuns = 3;
    std::size_t framerMiB = 32;           // per framer case
    std::size_t framerSearchTries = 300;  // random units timed in the search for the worst
    std::size_t floodMiB = 100;           // per flood case
    std::size_t floodPtyAnalogMiB = 4;    // analog replies on the serial link, far slower
    int cliModules = 100;                 // simulated modules one kestrel-cli call reads
    int cliRuns = 5;
    QString comDir;  // KESTREL_COM_DIR of this run
};

// 1. Relay round trip over TCP: the panel, libmodbus and pymodbus against one simulator.
void BenchTcpRoundTrip(BenchTable& table, const BenchOptions& options);
// 1. The same with the traffic monitor open, beside the panel without it, in turns.
void BenchMonitorRoundTrip(BenchTable& table, const BenchOptions& options);
// 2. Relay round trip over a pseudo-terminal, reply written to indicator checked.
void BenchSerialRoundTrip(BenchTable& table, const BenchOptions& options);
// 3. Idle processor time: no link, an idle TCP link, the reader on a quiet line.
void BenchIdle(BenchTable& table, const BenchOptions& options);
// 4. The serial search with no module and with a module at each rate.
void BenchSearch(BenchTable& table, const BenchOptions& options);
// 5. Start-up of the panel program to its window shown, and its resident size then.
void BenchStartup(BenchTable& table, const BenchOptions& options);
// 6. Throughput of the stream framers.
void BenchFramers(BenchTable& table, const BenchOptions& options);
// 8. The longest stall of the window while a peer floods the TCP link or the COM port.
void BenchFlood(BenchTable& table, const BenchOptions& options);
// 9. The longest stall of the window during the serial search, the network search and the
// paced parameter write.
void BenchStalls(BenchTable& table, const BenchOptions& options);
// 10. kestrel-cli reading the parameter blocks of many simulated modules in one call.
void BenchCli(BenchTable& table, const BenchOptions& options);
// 7. A long run of relay commands over TCP and over a pseudo-terminal, resident size kept.
void BenchLongRuns(BenchTable& table, const BenchOptions& options);

// The rows of 3 and 7 for each link.
void IdleTcpRow(BenchTable& table, const BenchOptions& options);
void IdleSerialRow(BenchTable& table, const BenchOptions& options);
void LongTcpRow(BenchTable& table, const BenchOptions& options);
void LongSerialRow(BenchTable& table, const BenchOptions& options);
// The row of a long run on one link ("TCP", "a pseudo-terminal").
void AddLongRunRow(BenchTable& table, const char* link, const LongRun& run);
