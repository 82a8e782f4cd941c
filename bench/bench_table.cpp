#include "bench_table.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>

void BenchTable::Info(std::string figure, std::string measured) {
    m_rows.push_back({std::move(figure), std::move(measured), "", ""});
}

void BenchTable::Check(std::string figure, std::string measured, std::string goal, bool met) {
    m_rows.push_back(
        {std::move(figure), std::move(measured), std::move(goal), met ? "met" : "MISSED"});
}

void BenchTable::Failed(std::string figure, std::string reason, std::string goal) {
    std::string verdict = goal.empty() ? "" : "MISSED";
    m_rows.push_back({std::move(figure), "not measured: " + std::move(reason), std::move(goal),
                      std::move(verdict)});
}

std::size_t BenchTable::MissedGoals() const {
    return static_cast<std::size_t>(std::count_if(
        m_rows.begin(), m_rows.end(), [](const Row& row) { return row.verdict == "MISSED"; }));
}

void BenchTable::Print(std::FILE* out) const {
    std::size_t widths[4] = {6, 8, 4, 7};
    for (const Row& row : m_rows) {
        widths[0] = std::max(widths[0], row.figure.size());
        widths[1] = std::max(widths[1], row.measured.size());
        widths[2] = std::max(widths[2], row.goal.size());
        widths[3] = std::max(widths[3], row.verdict.size());
    }
    const auto line = [&](const std::string& a, const std::string& b, const std::string& c,
                          const std::string& d) {
        std::fprintf(out, "| %-*s | %-*s | %-*s | %-*s |\n", static_cast<int>(widths[0]), a.c_str(),
                     static_cast<int>(widths[1]), b.c_str(), static_cast<int>(widths[2]), c.c_str(),
                     static_cast<int>(widths[3]), d.c_str());
    };
    line("Figure", "Measured", "Goal", "Verdict");
    line(std::string(widths[0], '-'), std::string(widths[1], '-'), std::string(widths[2], '-'),
         std::string(widths[3], '-'));
    for (const Row& row : m_rows) {
        line(row.figure, row.measured, row.goal, row.verdict);
    }
    std::fflush(out);
}

Percentiles Summarise(std::vector<double> micros) {
    Percentiles p;
    p.count = micros.size();
    if (micros.empty()) {
        return p;
    }
    std::sort(micros.begin(), micros.end());
    // Nearest rank: the smallest value with at least q of the samples at or below it.
    const auto rank = [&](double q) {
        const auto n = static_cast<double>(micros.size());
        const auto index = static_cast<std::size_t>(std::ceil(q * n)) - 1;
        return micros[std::min(index, micros.size() - 1)];
    };
    p.p50 = rank(0.50);
    p.p99 = rank(0.99);
    p.max = micros.back();
    return p;
}

std::string Format(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

std::string Describe(const Percentiles& p) {
    return Format("p50 %.1f us, p99 %.1f us (n=%zu)", p.p50, p.p99, p.count);
}
