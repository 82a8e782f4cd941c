#pragma once

#include <memory>

#include "event_port.h"

class QObject;

// The loop of the thread that makes it, on Qt's event loop: precise single-shot timers, calls
// posted as queued calls on a context object of that thread, and the steady clock.
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
    std::unique_ptr<QObject> m_context;
};
