#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "event_port.h"

// A plain event loop for a program with no toolkit (kestrel-cli): one-shot timers, calls posted
// from any thread, and watches on descriptors (a socket, a pipe), all run on the thread that
// calls Run. Posted calls run first in each pass, then the timers due, in the order of their due
// times, then the watches whose descriptors are ready.
class PollLoop : public EventPort {
  public:
    enum Events : unsigned { kReadable = 1U, kWritable = 2U };

    // A watch on one descriptor; `ready` runs with what the descriptor is ready for (also told
    // for an error or a hang-up, as readable). Destroying the watch ends it.
    class Watch {
      public:
        virtual ~Watch() = default;
        // What the watch waits for; 0 pauses it.
        virtual void SetEvents(unsigned events) = 0;
    };

    PollLoop();
    ~PollLoop() override;
    PollLoop(const PollLoop&) = delete;
    PollLoop& operator=(const PollLoop&) = delete;

    std::unique_ptr<Timer> MakeTimer() override;
    void Post(std::function<void()> fn) override;
    Clock::time_point Now() const override { return Clock::now(); }
    std::unique_ptr<Watch> WatchDescriptor(int descriptor, unsigned events,
                                           std::function<void(unsigned ready)> ready);

    // Runs passes until Quit.
    void Run();
    // Any thread: the Run under way returns once its pass has ended. A Quit while no Run is
    // under way is forgotten (as one for a Run that has ended).
    void Quit();
    // One pass that waits at most `within` for something to do; whether something ran.
    bool RunOnce(std::chrono::milliseconds within);
    // False when the loop could not make its wake-up descriptor: nothing posted from another
    // thread would wake it.
    bool Valid() const { return m_wake >= 0; }

  private:
    struct Shared;
    friend class PollTimer;
    friend class PollWatch;

    std::size_t RunPosted();
    std::size_t RunDueTimers();

    std::shared_ptr<Shared> m_shared;  // the timers' and watches' schedule, shared with them
    int m_wake = -1;
    std::mutex m_postMutex;
    std::deque<std::function<void()>> m_posted;
    bool m_quit = false;  // guarded by m_postMutex
};
