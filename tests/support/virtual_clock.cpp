#include "virtual_clock.h"

#include <optional>

// The running timers by due time, shared with the timers, which may outlive the clock.
struct VirtualClock::Schedule {
    std::map<Key, VirtualTimer*> due;
    std::uint64_t nextSequence = 0;
};

class VirtualTimer final : public Timer {
  public:
    VirtualTimer(VirtualClock& clock, std::weak_ptr<VirtualClock::Schedule> schedule)
        : m_clock(clock), m_schedule(std::move(schedule)) {}
    ~VirtualTimer() override { Stop(); }
    VirtualTimer(const VirtualTimer&) = delete;
    VirtualTimer& operator=(const VirtualTimer&) = delete;

    void Start(std::chrono::milliseconds after, std::function<void()> fn) override {
        Stop();
        const auto schedule = m_schedule.lock();
        if (!schedule) {
            return;
        }
        m_fn = std::move(fn);
        m_key = {m_clock.Now() + after, schedule->nextSequence++};
        schedule->due.emplace(*m_key, this);
    }
    void Stop() override {
        if (const auto schedule = m_schedule.lock(); schedule && m_key) {
            schedule->due.erase(*m_key);
        }
        m_key.reset();
    }
    bool Active() const override { return m_key.has_value(); }

    // Called by the clock once it has taken the timer off the schedule: the call to run.
    std::function<void()> Fire() {
        m_key.reset();
        return std::exchange(m_fn, nullptr);
    }

  private:
    VirtualClock& m_clock;
    std::weak_ptr<VirtualClock::Schedule> m_schedule;
    std::optional<VirtualClock::Key> m_key;
    std::function<void()> m_fn;
};

VirtualClock::VirtualClock()
    : m_now(Clock::time_point{} + std::chrono::hours(1)),
      m_start(m_now),
      m_schedule(std::make_shared<Schedule>()) {}

VirtualClock::~VirtualClock() = default;

std::unique_ptr<Timer> VirtualClock::MakeTimer() {
    return std::make_unique<VirtualTimer>(*this, m_schedule);
}

void VirtualClock::Post(std::function<void()> fn) {
    const std::lock_guard lock(m_postMutex);
    m_posted.push_back(std::move(fn));
}

std::size_t VirtualClock::RunPosted() {
    std::size_t ran = 0;
    for (;;) {
        std::function<void()> fn;
        {
            const std::lock_guard lock(m_postMutex);
            if (m_posted.empty()) {
                return ran;
            }
            fn = std::move(m_posted.front());
            m_posted.pop_front();
        }
        fn();
        ++ran;
    }
}

void VirtualClock::Advance(std::chrono::milliseconds by) {
    const Clock::time_point until = m_now + by;
    RunPosted();
    while (!m_schedule->due.empty() && m_schedule->due.begin()->first.first <= until) {
        const auto first = m_schedule->due.begin();
        m_now = std::max(m_now, first->first.first);
        VirtualTimer* timer = first->second;
        m_schedule->due.erase(first);
        // The call is taken out of its timer first: it may restart or destroy it.
        const std::function<void()> fn = timer->Fire();
        if (fn) {
            fn();
        }
        RunPosted();
    }
    m_now = until;
}

std::optional<std::chrono::milliseconds> VirtualClock::NextDue() const {
    if (m_schedule->due.empty()) {
        return std::nullopt;
    }
    return std::chrono::ceil<std::chrono::milliseconds>(m_schedule->due.begin()->first.first -
                                                        m_now);
}

std::chrono::milliseconds VirtualClock::Elapsed() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(m_now - m_start);
}
