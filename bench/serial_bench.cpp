// Measurements of the serial link, printed as small tables (run through bench/serial_bench.sh):
//  - the processor time the panel spends while the reader waits on a quiet line, against the
//    same process with the port closed;
//  - how long a search with no module takes, against the 3432 ms its read waits add up to.
// BENCH_IDLE_SECONDS (default 5) and BENCH_SEARCH_RUNS (default 3) change the lengths.
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <thread>

#include "serial_link_fixture.h"

namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

constexpr double kSearchReadWaitsMs = 3432.0;

int EnvNumber(const char* name, int fallback) {
    const char* text = std::getenv(name);
    const int value = text != nullptr ? std::atoi(text) : 0;
    return value > 0 ? value : fallback;
}

struct Usage {
    double cpuMs;
    long wakeups;  // voluntary context switches of all threads
};

Usage ProcessUsage() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto ms = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) * 1000.0 + static_cast<double>(t.tv_usec) / 1000.0;
    };
    return {ms(usage.ru_utime) + ms(usage.ru_stime), usage.ru_nvcsw};
}

// The window's thread sleeps, as when nobody touches the panel; only the reader (if any) runs.
void PrintIdleRow(const char* state, int seconds) {
    const Usage before = ProcessUsage();
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double wallMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    const Usage after = ProcessUsage();
    const double cpuMs = after.cpuMs - before.cpuMs;
    std::printf("%-26s %8.1f %10.1f %8.3f %12.1f\n", state, wallMs / 1000.0, cpuMs,
                100.0 * cpuMs / wallMs,
                static_cast<double>(after.wakeups - before.wakeups) * 1000.0 / wallMs);
}

class SerialBench : public SerialLinkTest {};

TEST_F(SerialBench, IdleReader) {
    const int seconds = EnvNumber("BENCH_IDLE_SECONDS", 5);
    PlugFake();
    std::printf("\nIdle processor time over %d s (whole process; the window's thread sleeps)\n",
                seconds);
    std::printf("%-26s %8s %10s %8s %12s\n", "state", "wall s", "cpu ms", "cpu %", "wakeups/s");
    PrintIdleRow("port closed, no reader", seconds);
    ConnectFake({0x01, 0x00, 0x02, 0x00, 0x16, 0x00, 0, 0, 0, 0});
    ASSERT_TRUE(Found());
    PrintIdleRow("reader on a quiet line", seconds);
}

TEST_F(SerialBench, SearchWithNoModule) {
    const int runs = EnvNumber("BENCH_SEARCH_RUNS", 3);
    PlugFake();
    OpenCom();
    ASSERT_TRUE(dlg->m_SerialPort.IsOpen());
    std::printf("\nSearch with no module (16 attempts over 8 rates)\n");
    std::printf("%-6s %12s %14s %12s\n", "run", "took ms", "read waits ms", "overhead ms");
    for (int run = 1; run <= runs; ++run) {
        const double took = static_cast<double>(Search().count());
        std::printf("%-6d %12.0f %14.0f %12.0f\n", run, took, kSearchReadWaitsMs,
                    took - kSearchReadWaitsMs);
    }
    EXPECT_EQ(recorder.messages.size(), static_cast<std::size_t>(runs));
}

}  // namespace
