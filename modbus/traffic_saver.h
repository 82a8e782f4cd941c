#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "traffic_log.h"

enum class TrafficFormat : std::uint8_t { Text, Csv };

// Writes lines to a file on a thread of its own, one line at a time through a small buffer, so
// neither the window's thread nor memory carries the file. The file appears under its name only
// once whole: it is written beside it first and renamed at the end. Destroying the saver before
// it is done stops it and leaves no file.
class TrafficSaver {
  public:
    struct Job {
        std::string path;
        TrafficFormat format = TrafficFormat::Text;
        std::vector<TrafficEntryPtr> entries;
        TrafficTime time = TrafficTime::SinceOpen;
        std::chrono::steady_clock::time_point openedAt;
        std::uint64_t forgotten = 0;  // lines no longer kept before the first
    };

    explicit TrafficSaver(Job job);
    ~TrafficSaver();
    TrafficSaver(const TrafficSaver&) = delete;
    TrafficSaver& operator=(const TrafficSaver&) = delete;

    bool Done() const { return m_done.load(std::memory_order_acquire); }
    std::size_t Written() const { return m_written.load(); }
    std::size_t Total() const { return m_job.entries.size(); }
    const std::string& Path() const { return m_job.path; }
    // Why it failed, once done; empty when the file is whole.
    std::string Error() const;

  private:
    void Run();
    std::string Write();

    Job m_job;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_done{false};
    std::atomic<std::size_t> m_written{0};
    mutable std::mutex m_mutex;
    std::string m_error;
    std::thread m_thread;
};
