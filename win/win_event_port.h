#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "event_port.h"

struct HWND__;  // the window handle of <windows.h>, kept out of this header

// The event loop of the thread's Win32 message queue: a message-only window of its own receives
// the posted calls, the timers' wake-ups and the sockets' notices (WSAAsyncSelect), so whatever
// pumps the thread's messages runs them: a dialog's loop, a modal box, or Run below. Timers keep
// their own schedule on the steady clock (a WM_TIMER only wakes the loop), so none runs early.
// Made and used on one thread, the loop's; Post and Quit from any thread.
class Win32EventPort : public EventPort {
  public:
    // What a socket's notice carries: the event (FD_READ...) and Winsock's error code for it.
    using SocketHandler = std::function<void(long event, int error)>;

    Win32EventPort();
    ~Win32EventPort() override;
    Win32EventPort(const Win32EventPort&) = delete;
    Win32EventPort& operator=(const Win32EventPort&) = delete;

    std::unique_ptr<Timer> MakeTimer() override;
    void Post(std::function<void()> fn) override;
    Clock::time_point Now() const override { return Clock::now(); }

    // Pumps the thread's messages until Quit. A Quit while no Run is under way is forgotten.
    void Run();
    // Any thread: the Run under way returns once the message it handles has been handled.
    void Quit();
    // Waits at most `within` for a message or a timer, then handles what is there; whether
    // something ran (tests, and programs that pump in steps).
    bool RunOnce(std::chrono::milliseconds within);
    // False when the window could not be made: nothing would run.
    bool Valid() const { return m_window != nullptr; }

    // The window and the message that sockets tell their events to (WSAAsyncSelect), and the
    // handler of each socket's notices; notices of a socket with no handler are dropped.
    HWND__* Window() const { return m_window; }
    static unsigned SocketMessage();
    void WatchSocket(std::uintptr_t socket, SocketHandler handler);
    void ForgetSocket(std::uintptr_t socket);

  private:
    struct Schedule;
    friend class Win32Timer;
    friend struct Win32EventPortProc;

    void RunPosted();
    std::size_t RunDueTimers();
    void OnSocketNotice(std::uintptr_t socket, long event, int error);
    bool PumpMessages();
    unsigned long MillisecondsToNextTimer(std::chrono::milliseconds cap) const;

    HWND__* m_window = nullptr;
    std::shared_ptr<Schedule> m_schedule;  // the timers', shared with them
    std::map<std::uintptr_t, std::shared_ptr<SocketHandler>> m_sockets;
    std::mutex m_postMutex;
    std::deque<std::function<void()>> m_posted;  // guarded by m_postMutex
    bool m_wakePosted = false;                   // guarded by m_postMutex
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_quit{false};
};
