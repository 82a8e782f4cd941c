#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <utility>
#include <vector>

#include "poll_loop.h"

class PollTimer;
class PollWatch;

// What the timers and watches share with the loop; they may outlive it.
struct PollLoop::Shared {
    using Key = std::pair<Clock::time_point, std::uint64_t>;
    std::map<Key, PollTimer*> due;
    std::uint64_t nextSequence = 0;
    std::map<std::uint64_t, PollWatch*> watches;
    std::uint64_t nextWatch = 0;
};

class PollTimer final : public Timer {
  public:
    explicit PollTimer(std::weak_ptr<PollLoop::Shared> shared) : m_shared(std::move(shared)) {}
    ~PollTimer() override { Stop(); }
    PollTimer(const PollTimer&) = delete;
    PollTimer& operator=(const PollTimer&) = delete;

    void Start(std::chrono::milliseconds after, std::function<void()> fn) override {
        Stop();
        const auto shared = m_shared.lock();
        if (!shared) {
            return;
        }
        m_fn = std::move(fn);
        m_key = {EventPort::Clock::now() + after, shared->nextSequence++};
        shared->due.emplace(*m_key, this);
    }
    void Stop() override {
        if (const auto shared = m_shared.lock(); shared && m_key) {
            shared->due.erase(*m_key);
        }
        m_key.reset();
    }
    bool Active() const override { return m_key.has_value(); }

    // The loop has taken the timer off the schedule: the call to run.
    std::function<void()> Fire() {
        m_key.reset();
        return std::exchange(m_fn, nullptr);
    }

  private:
    std::weak_ptr<PollLoop::Shared> m_shared;
    std::optional<PollLoop::Shared::Key> m_key;
    std::function<void()> m_fn;
};

class PollWatch final : public PollLoop::Watch {
  public:
    PollWatch(std::weak_ptr<PollLoop::Shared> shared, int fd, unsigned wanted,
              std::function<void(unsigned)> onReady)
        : m_shared(std::move(shared)), descriptor(fd), events(wanted), ready(std::move(onReady)) {
        if (const auto s = m_shared.lock()) {
            m_id = s->nextWatch++;
            s->watches.emplace(m_id, this);
        }
    }
    ~PollWatch() override {
        if (const auto s = m_shared.lock()) {
            s->watches.erase(m_id);
        }
    }
    PollWatch(const PollWatch&) = delete;
    PollWatch& operator=(const PollWatch&) = delete;

    void SetEvents(unsigned newEvents) override { events = newEvents; }

    std::weak_ptr<PollLoop::Shared> m_shared;
    std::uint64_t m_id = 0;
    int descriptor;
    unsigned events;
    std::function<void(unsigned)> ready;
};

PollLoop::PollLoop()
    : m_shared(std::make_shared<Shared>()), m_wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

PollLoop::~PollLoop() {
    if (m_wake >= 0) {
        ::close(m_wake);
    }
}

std::unique_ptr<Timer> PollLoop::MakeTimer() {
    return std::make_unique<PollTimer>(m_shared);
}

std::unique_ptr<PollLoop::Watch> PollLoop::WatchDescriptor(int descriptor, unsigned events,
                                                           std::function<void(unsigned)> ready) {
    return std::make_unique<PollWatch>(m_shared, descriptor, events, std::move(ready));
}

void PollLoop::Post(std::function<void()> fn) {
    {
        const std::lock_guard lock(m_postMutex);
        m_posted.push_back(std::move(fn));
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(m_wake, &one, sizeof one);
}

void PollLoop::Quit() {
    {
        const std::lock_guard lock(m_postMutex);
        m_quit = true;
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(m_wake, &one, sizeof one);
}

void PollLoop::Run() {
    {
        const std::lock_guard lock(m_postMutex);
        m_quit = false;
    }
    for (;;) {
        {
            const std::lock_guard lock(m_postMutex);
            if (std::exchange(m_quit, false)) {
                return;
            }
        }
        RunOnce(std::chrono::hours(1));
    }
}

// The calls posted before this pass; those they post run in the next.
std::size_t PollLoop::RunPosted() {
    std::deque<std::function<void()>> calls;
    {
        const std::lock_guard lock(m_postMutex);
        calls.swap(m_posted);
    }
    for (auto& call : calls) {
        call();
    }
    return calls.size();
}

std::size_t PollLoop::RunDueTimers() {
    std::size_t ran = 0;
    const Clock::time_point now = Clock::now();
    while (!m_shared->due.empty() && m_shared->due.begin()->first.first <= now) {
        PollTimer* timer = m_shared->due.begin()->second;
        m_shared->due.erase(m_shared->due.begin());
        // Taken out of its timer first: the call may restart or destroy it.
        if (const std::function<void()> fn = timer->Fire()) {
            fn();
            ++ran;
        }
    }
    return ran;
}

namespace {

short PollEvents(unsigned events) {
    short wanted = 0;
    if ((events & PollLoop::kReadable) != 0) wanted |= POLLIN;
    if ((events & PollLoop::kWritable) != 0) wanted |= POLLOUT;
    return wanted;
}

unsigned ReadyEvents(short revents) {
    unsigned ready = 0;
    if ((revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0) ready |= PollLoop::kReadable;
    if ((revents & (POLLOUT | POLLERR | POLLHUP)) != 0) ready |= PollLoop::kWritable;
    return ready;
}

}  // namespace

bool PollLoop::RunOnce(std::chrono::milliseconds within) {
    std::size_t ran = RunPosted();
    ran += RunDueTimers();
    std::vector<pollfd> entries{{m_wake, POLLIN, 0}};
    std::vector<std::uint64_t> ids;
    for (const auto& [id, watch] : m_shared->watches) {
        if (watch->events != 0) {
            entries.push_back({watch->descriptor, PollEvents(watch->events), 0});
            ids.push_back(id);
        }
    }
    auto wait = ran > 0 ? std::chrono::milliseconds(0) : within;
    {
        const std::lock_guard lock(m_postMutex);
        if (!m_posted.empty() || m_quit) wait = std::chrono::milliseconds(0);
    }
    if (!m_shared->due.empty()) {
        const auto untilTimer = std::chrono::ceil<std::chrono::milliseconds>(
            m_shared->due.begin()->first.first - Clock::now());
        wait = std::clamp(untilTimer, std::chrono::milliseconds(0), wait);
    }
    const int count = ::poll(entries.data(), entries.size(), static_cast<int>(wait.count()));
    if (count < 0 && errno != EINTR) {
        return ran > 0;
    }
    if (count > 0 && entries[0].revents != 0) {
        std::uint64_t wakes = 0;
        [[maybe_unused]] const auto got = ::read(m_wake, &wakes, sizeof wakes);
    }
    for (std::size_t n = 1; count > 0 && n < entries.size(); ++n) {
        if (entries[n].revents == 0) {
            continue;
        }
        // A watch ended or paused by an earlier call of this pass is not told.
        const auto found = m_shared->watches.find(ids[n - 1]);
        if (found == m_shared->watches.end() || found->second->events == 0) {
            continue;
        }
        const std::function<void(unsigned)> ready = found->second->ready;  // it may go meanwhile
        ready(ReadyEvents(entries[n].revents) & (found->second->events | kReadable));
        ++ran;
    }
    ran += RunDueTimers();
    return ran > 0;
}
