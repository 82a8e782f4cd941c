#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

// The one table the benchmark prints: a figure, what was measured, the goal it is held to (if
// any) and whether the goal was met.
class BenchTable {
  public:
    // A figure without a goal: context for the figures that have one.
    void Info(std::string figure, std::string measured);
    // A figure held to a goal.
    void Check(std::string figure, std::string measured, std::string goal, bool met);
    // A figure that could not be measured; the reason stands in the measured column.
    void Failed(std::string figure, std::string reason, std::string goal = "");

    // As a Markdown table, so a run can go into the docs as printed.
    void Print(std::FILE* out) const;
    std::size_t MissedGoals() const;

  private:
    struct Row {
        std::string figure;
        std::string measured;
        std::string goal;
        std::string verdict;
    };
    std::vector<Row> m_rows;
};

// The middle and the tail of a set of durations, in microseconds.
struct Percentiles {
    std::size_t count = 0;
    double p50 = 0.0;
    double p99 = 0.0;
    double max = 0.0;
};
Percentiles Summarise(std::vector<double> micros);

// printf into a std::string.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
// "p50 123.4 us, p99 456.7 us (n=1000)"
std::string Describe(const Percentiles& p);
