#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

// A TCP listener on loopback that runs on a thread of its own, so that it stamps each arrival
// with its real time even while the panel's thread is blocked in a pause.
class TimedSink {
  public:
    struct Arrival {
        std::chrono::steady_clock::time_point at;
        std::vector<std::uint8_t> bytes;
    };

    TimedSink();
    ~TimedSink();
    std::uint16_t Port() const { return m_port; }
    std::vector<Arrival> Arrivals() const;
    std::size_t ByteCount() const;
    // Queues bytes to send to the connected client.
    void Send(std::vector<std::uint8_t> bytes);

  private:
    void Run();

    int m_listen = -1;
    int m_client = -1;
    std::uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_mutex;
    std::vector<Arrival> m_arrivals;
    std::thread m_thread;
};
