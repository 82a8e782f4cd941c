#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

// A module's place on loopback for tests with no toolkit: it listens on 127.0.0.1 (or ::1),
// accepts one client, stamps and records what arrives on a thread of its own (so the time is the
// real one even while the test's thread is busy), sends what the test says, and ends the
// connection with an orderly close or a reset.
class LoopbackPeer {
  public:
    struct Arrival {
        std::chrono::steady_clock::time_point at;
        std::vector<std::uint8_t> bytes;
    };

    explicit LoopbackPeer(bool ipv6 = false);
    ~LoopbackPeer();
    LoopbackPeer(const LoopbackPeer&) = delete;
    LoopbackPeer& operator=(const LoopbackPeer&) = delete;

    std::uint16_t Port() const { return m_port; }
    bool WaitConnected(std::chrono::milliseconds within = std::chrono::seconds(5));
    std::vector<Arrival> Arrivals() const;
    std::vector<std::uint8_t> Received() const;
    void ClearReceived();
    void Send(const std::vector<std::uint8_t>& bytes);
    // Ends the connection: an orderly close, or a reset.
    void Close();
    void Reset();

  private:
    void Run();
    void EndClient(bool reset);

    // Sockets as the platform numbers them (descriptors, Winsock's handles); -1 for none.
    std::intptr_t m_listen = -1;
    std::intptr_t m_wake = -1;
    std::uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::intptr_t m_client = -1;
    bool m_everConnected = false;
    int m_ending = 0;  // 1: close, 2: reset, asked of the thread
    std::vector<Arrival> m_arrivals;
    std::thread m_thread;
};

// A listener on 127.0.0.1 whose accept queue is full: further connection requests are dropped,
// as a module behind a silent firewall would.
class SilentListener {
  public:
    SilentListener();
    ~SilentListener();
    SilentListener(const SilentListener&) = delete;
    SilentListener& operator=(const SilentListener&) = delete;
    std::uint16_t port = 0;

  private:
    std::intptr_t m_listener = -1;
    std::intptr_t m_filler = -1;
};
