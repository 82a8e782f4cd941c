#pragma once

#include <QString>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "pty_line.h"

// A module played by the bench on the master side of a pseudo-terminal that is published as
// KESTREL_COM_DIR/COM<n>. A thread of its own waits for the panel's 8-byte RTU requests; it
// answers the search's first parameter read (unit FF, registers 0x003F..0x0043) with a
// parameter block naming address 1, echoes every relay write, and stamps the moment the last
// byte of each echo has been written. With answering off it reads and drops everything: a
// line with no module on it.
class PtyModule {
  public:
    using Clock = std::chrono::steady_clock;

    PtyModule(const QString& comDir, int com, bool answering);
    ~PtyModule();
    PtyModule(const PtyModule&) = delete;
    PtyModule& operator=(const PtyModule&) = delete;

    bool Ready() const { return m_line.Ready(); }
    // Space for `count` echo stamps, touched now so that filling it later does not show up
    // in the resident size of a long run.
    void ReserveStamps(std::size_t count);
    // Stamps of the echoes written since the last call, in order.
    std::vector<Clock::time_point> TakeStamps();
    std::size_t EchoCount() const { return m_echoes.load(); }
    // Writes `total` bytes of the pattern repeated to the line, from a thread of its own.
    void StartFlood(std::vector<std::uint8_t> pattern, std::size_t total);
    bool FloodWritten() const { return m_floodWritten.load(); }
    // Bytes on the line that the panel has not read yet.
    int Unread() const;

  private:
    void Serve();
    void Answer(const std::uint8_t* request);
    void WriteAll(const std::uint8_t* data, std::size_t count);
    void Flood(const std::vector<std::uint8_t>& pattern, std::size_t total);
    void StopFlood();

    PtyLine m_line{PtyLine::Mode::Blocking};
    int m_wake[2] = {-1, -1};
    bool m_answering;
    std::mutex m_mutex;
    std::vector<Clock::time_point> m_stamps;
    std::size_t m_stampCount = 0;
    std::atomic<std::size_t> m_echoes{0};
    std::thread m_thread;
    std::atomic<bool> m_floodWritten{false};
    std::atomic<bool> m_floodStop{false};
    std::thread m_floodThread;
};
