#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "event_port.h"

class VirtualTimer;

// An event loop whose time moves only when the test says: Advance(ms) runs what falls due, in
// time order, each timer seeing Now() at its own due time, and what it posts or starts at that
// time runs in turn, as a real loop would. Post is safe from any thread; what is posted runs in
// RunPosted() or the next Advance(). Timers and the clock belong to the test's thread.
class VirtualClock : public EventPort {
  public:
    VirtualClock();
    ~VirtualClock() override;
    VirtualClock(const VirtualClock&) = delete;
    VirtualClock& operator=(const VirtualClock&) = delete;

    std::unique_ptr<Timer> MakeTimer() override;
    void Post(std::function<void()> fn) override;
    Clock::time_point Now() const override { return m_now; }

    // Moves the time on by `by`, running the posted calls first, then every timer due by then
    // in the order of their due times (in the order they were started for the same time), with
    // the calls each posts after it.
    void Advance(std::chrono::milliseconds by);
    // Runs the calls posted so far, and those they post; how many ran.
    std::size_t RunPosted();
    // The time from now to the earliest timer running; none when no timer runs.
    std::optional<std::chrono::milliseconds> NextDue() const;
    // The time since the clock was made.
    std::chrono::milliseconds Elapsed() const;

  private:
    friend class VirtualTimer;
    using Key = std::pair<Clock::time_point, std::uint64_t>;
    struct Schedule;

    Clock::time_point m_now;
    const Clock::time_point m_start;
    std::shared_ptr<Schedule> m_schedule;
    std::mutex m_postMutex;
    std::deque<std::function<void()>> m_posted;
};
