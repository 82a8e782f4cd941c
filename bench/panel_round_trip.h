#pragma once

#include <QEventLoop>
#include <QObject>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kestrel_window.h"
#include "main_template.h"

// The window's controls, read by id as the operator sees them.
inline QString ReportText(const DialogPort& window) {
    return QString::fromStdString(window.Text(IDC_REPORT));
}
inline int ShownAddress(const DialogPort& window) {
    return std::stoi(window.Text(IDC_ADDRESS));
}
inline bool TcpConnected(const DialogPort& window) {
    return window.Text(IDC_CONNECT) == "Disconnect";
}
inline bool ComOpen(const DialogPort& window) {
    return window.Text(IDC_SERIAL_OPEN) == "Close";
}
inline int RelayId(int n) {
    return IDC_RL1 + n;
}

using BenchClock = std::chrono::steady_clock;
using Stamps = std::vector<BenchClock::time_point>;

// Turns the event loop until the condition holds or the time is up; never sleeps past an event.
bool RunEventsUntil(const std::function<bool()>& condition, int timeoutMs);

// A main window as the operator gets it at start.
std::unique_ptr<KestrelWindow> NewPanel();
// Puts 127.0.0.1 and the port into the fields, presses Connect and waits until the link is up
// and the parameter reads of the connect have been answered.
bool ConnectTcp(KestrelWindow& dlg, quint16 port);
// Selects COM<com> and presses Open.
bool OpenCom(KestrelWindow& dlg, int com);
// Presses the serial Search and runs the event loop until it has ended; true when a module was
// found.
bool SearchCom(KestrelWindow& dlg);
// What the process used while the event loop ran idle for `seconds`: the share of one core in
// percent, and how often per second its threads woke from a wait.
struct IdleUse {
    double cpuPercent = 0.0;
    double wakeupsPerSecond = 0.0;
};
IdleUse MeasureIdle(int seconds);
// "0.012 % of a core, 3 wake-ups/s"
std::string DescribeIdle(const IdleUse& use);

// Drives relay 1 on and off through its two buttons, each command once the echo of the one
// before has shown, and stamps every press and every change of the relay indicator.
class RelayRoundTrip : public QObject {
    Q_OBJECT
  public:
    explicit RelayRoundTrip(KestrelWindow& dlg);
    // Space for `count` stamps, touched now so that a long run does not grow while measured.
    void Reserve(std::size_t count);
    // Sends `count` commands; false when an echo has not shown within the stall bound.
    bool Run(std::size_t count);
    const Stamps& Pressed() const { return m_pressed; }
    const Stamps& Shown() const { return m_shown; }

  private:
    void PressNext();
    void OnIndicator(bool checked);

    KestrelWindow& m_dlg;
    Stamps m_pressed;
    Stamps m_shown;
    std::size_t m_count = 0;
    std::size_t m_done = 0;
    bool m_expectChecked = false;
    bool m_running = false;
    QEventLoop* m_loop = nullptr;  // the event loop of the run in progress
};

// Microseconds from each start stamp to the matching end stamp.
std::vector<double> Durations(const Stamps& start, const Stamps& end, std::size_t count);

// Resident size over a long run of relay commands: at the start, after the first hundredth
// (allocations that happen once are done by then) and at the end.
struct LongRun {
    bool completed = false;
    std::size_t commands = 0;
    long startKib = 0;
    long warmKib = 0;
    long endKib = 0;
    double seconds = 0.0;
    std::vector<double> micros;  // round trips after the first hundredth
};
LongRun RunLongRelay(RelayRoundTrip& trips, std::size_t commands);
