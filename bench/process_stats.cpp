#include "process_stats.h"

#include <sys/resource.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "bench_table.h"

namespace {

double Milliseconds(const timeval& t) {
    return static_cast<double>(t.tv_sec) * 1000.0 + static_cast<double>(t.tv_usec) / 1000.0;
}

// The value after "key:" on the first line of the file that starts with it.
std::string FieldOf(const std::string& path, const std::string& key) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(key + ':', 0) == 0 || line.rfind(key + '\t', 0) == 0) {
            const auto colon = line.find(':');
            const auto start = line.find_first_not_of(" \t", colon + 1);
            return start == std::string::npos ? "" : line.substr(start);
        }
    }
    return "";
}

}  // namespace

double ProcessCpuMs() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return Milliseconds(usage.ru_utime) + Milliseconds(usage.ru_stime);
}

long ProcessWaits() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_nvcsw;
}

long ResidentKib(pid_t pid) {
    const std::string path =
        pid == 0 ? "/proc/self/status" : "/proc/" + std::to_string(pid) + "/status";
    const std::string value = FieldOf(path, "VmRSS");
    return value.empty() ? -1 : std::stol(value);  // "12345 kB"
}

std::string MachineSummary() {
    const long processors = ::sysconf(_SC_NPROCESSORS_ONLN);
    const std::string model = FieldOf("/proc/cpuinfo", "model name");
    const std::string memory = FieldOf("/proc/meminfo", "MemTotal");
    const double memoryGib = memory.empty() ? 0.0 : std::stod(memory) / (1024.0 * 1024.0);
    return Format("%ld processors, %s, %.1f GiB memory", processors,
                  model.empty() ? "unknown CPU" : model.c_str(), memoryGib);
}
