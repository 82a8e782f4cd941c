#pragma once

#include <chrono>
#include <functional>
#include <memory>

// The event loop of the thread that owns a conversation with modules (the window's thread, or
// kestrel-cli's): one-shot timers, calls posted from any thread, and the time those timers keep.
// Each shell implements it on its own loop (Qt's event loop, the Win32 message loop, a poll
// loop); the tests run it on a virtual clock that jumps to the next timer.

class Timer {
  public:
    virtual ~Timer() = default;
    // (Re)starts the timer: fn runs once, on the loop's thread, `after` from now, unless the
    // timer is stopped, restarted or destroyed first.
    virtual void Start(std::chrono::milliseconds after, std::function<void()> fn) = 0;
    virtual void Stop() = 0;
    virtual bool Active() const = 0;
};

class EventPort {
  public:
    using Clock = std::chrono::steady_clock;

    virtual ~EventPort() = default;
    virtual std::unique_ptr<Timer> MakeTimer() = 0;
    // Any thread: fn runs on the loop's thread soon, after every call posted before it. A call
    // that uses its poster must be guarded by the poster's LifeToken (below).
    virtual void Post(std::function<void()> fn) = 0;
    // The loop's time: what timers count in, and what reply deadlines are set in.
    virtual Clock::time_point Now() const = 0;
};

// Ends the calls an object posted or scheduled once the object is gone: Guard(fn) runs fn only
// while the token lives. The token and the guarded calls belong to the loop's thread.
class LifeToken {
  public:
    template <class Fn>
    auto Guard(Fn fn) const {
        return [alive = std::weak_ptr<const int>(m_alive), fn = std::move(fn)](auto&&... args) {
            if (alive.lock()) {
                fn(std::forward<decltype(args)>(args)...);
            }
        };
    }

  private:
    std::shared_ptr<const int> m_alive = std::make_shared<const int>(0);
};
