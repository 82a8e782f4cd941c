#include <windows.h>

#include <atomic>
#include <csignal>
#include <mutex>

#include "serial_port.h"
#include "signal_watch.h"

// The console's control events stand for the signals of the POSIX side: Ctrl+C for SIGINT,
// Ctrl+Break and the console's closing (or the user's logoff, the system's shutdown) for
// SIGTERM, so the program ends with the same status on both. The system runs the handler on a
// thread of its own, which may post to the loop directly.

namespace {

std::atomic<int> g_signal{0};

// The watch's state as the handler sees it, under g_mutex: the watch may go while a handler
// runs.
std::mutex g_mutex;
EventPort* g_loop = nullptr;
std::function<void()> g_tell;
HANDLE g_ended = nullptr;  // set when the watch goes: the program has ended in order

// How long a console that closes waits for the program to end in order; the system ends it
// after five seconds anyway.
constexpr DWORD kCloseGraceMs = 4000;

BOOL WINAPI OnControlEvent(DWORD event) {
    const bool closing = event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT;
    g_signal.store(event == CTRL_C_EVENT ? SIGINT : SIGTERM);
    CSerialPort::EndAllWaits();
    HANDLE ended = nullptr;
    {
        const std::lock_guard lock(g_mutex);
        if (g_loop == nullptr) {
            return FALSE;
        }
        g_loop->Post(g_tell);
        ended = g_ended;
    }
    // Returning from a close event ends the process at once: wait for the program's own end.
    if (closing && ended != nullptr) {
        ::WaitForSingleObject(ended, kCloseGraceMs);
    }
    return TRUE;
}

}  // namespace

struct SignalWatch::Platform {
    LifeToken life;
    bool installed = false;
};

SignalWatch::SignalWatch(EventPort& loop, std::function<void(int signo)> caught)
    : m_platform(std::make_unique<Platform>()) {
    {
        const std::lock_guard lock(g_mutex);
        g_loop = &loop;
        g_tell = m_platform->life.Guard([caught = std::move(caught)] { caught(g_signal.load()); });
        g_ended = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    m_platform->installed = ::SetConsoleCtrlHandler(OnControlEvent, TRUE) != 0;
}

SignalWatch::~SignalWatch() {
    if (m_platform->installed) {
        ::SetConsoleCtrlHandler(OnControlEvent, FALSE);
    }
    const std::lock_guard lock(g_mutex);
    g_loop = nullptr;
    g_tell = nullptr;
    if (g_ended != nullptr) {
        // A handler that waits on it is let go; the handle stays with the ending process.
        ::SetEvent(g_ended);
        g_ended = nullptr;
    }
}

int SignalWatch::Caught() {
    return g_signal.load();
}

bool SignalWatch::Active() const {
    return m_platform->installed;
}
