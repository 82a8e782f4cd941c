#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <mutex>

#include "event_port.h"
#include "wake_event.h"

class QObject;

// The loop of the thread that makes it, on Qt's event loop: precise single-shot timers, calls
// posted from any thread, and the steady clock. A posted call goes into a queue under a mutex and
// the loop is woken through an eventfd that a socket notifier of its thread watches: nothing
// built on another thread passes through Qt's event queue, whose locking ThreadSanitizer cannot
// see.
class QtEventPort : public EventPort {
  public:
    QtEventPort();
    ~QtEventPort() override;
    QtEventPort(const QtEventPort&) = delete;
    QtEventPort& operator=(const QtEventPort&) = delete;

    std::unique_ptr<Timer> MakeTimer() override;
    // Calls still queued when the port goes are dropped.
    void Post(std::function<void()> fn) override;
    Clock::time_point Now() const override { return Clock::now(); }

  private:
    void RunPosted();

    std::mutex m_mutex;
    std::deque<std::function<void()>> m_posted;
    WakeEvent m_wake;
    std::unique_ptr<QObject> m_context;  // last: its notifier goes before the descriptor
};
