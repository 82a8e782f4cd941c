#pragma once

#include <string>

#include "module_job.h"

// Where results, reports and errors go: results and reports on standard output, as words or as
// one JSON object a line; errors on standard error, one line each, naming the module. Stamped
// (--poll, watch), each line starts with its time and each object has a "time".
class Output {
  public:
    Output(bool json, bool quiet, bool stamped = false)
        : m_json(json), m_quiet(quiet), m_stamped(stamped) {}

    void Result(const JobResult& result) const;
    void Event(const std::string& module, const JobEvent& event) const;
    static void Error(const std::string& module, const std::string& message);
    // Words for the operator that are no result (what params set will write): on standard
    // output, or on standard error when standard output carries JSON.
    void Note(const std::string& line) const;
    bool Json() const { return m_json; }

  private:
    bool m_json;
    bool m_quiet;
    bool m_stamped;
};

// Local time to the millisecond with its offset: "2026-12-07T21:04:05.123+01:00".
std::string TimeText(std::chrono::system_clock::time_point at);

// The text as a JSON string, quotes included.
std::string JsonString(const std::string& text);
