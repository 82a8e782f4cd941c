#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

#include "event_port.h"

// One job at a time on a thread of its own, for work that blocks (a call into a library that
// waits for answers), so that the loop's thread stays free. The job hands its result over by
// writing what it shares with `done` (through a shared_ptr it holds itself); `done` runs on the
// loop's thread after the thread has been joined, which orders every write of the job before
// every read of the loop's thread.
class BackgroundTask {
  public:
    explicit BackgroundTask(EventPort& loop);
    ~BackgroundTask();  // abandons a job under way
    BackgroundTask(const BackgroundTask&) = delete;
    BackgroundTask& operator=(const BackgroundTask&) = delete;

    // Loop's thread: runs `job` on the task's thread, then `done` on the loop's thread. A job
    // under way is abandoned first.
    void Start(std::function<void()> job, std::function<void()> done);
    bool Running() const { return m_thread.joinable(); }
    // Waits for a job under way to end; its `done` never runs.
    void Abandon();
    // Lets a job under way run to its end unwaited (the program is closing); its `done` never
    // runs, and its thread touches nothing of the task or the loop once it has been left. Sound
    // only for a job that uses nothing but what it holds itself.
    void Leave();

  private:
    struct Ending;
    void OnJobEnded(std::uint64_t job);

    EventPort& m_loop;
    std::shared_ptr<Ending> m_ending;  // shared with the job's thread
    std::thread m_thread;
    std::function<void()> m_done;
    std::uint64_t m_job = 0;
    LifeToken m_life;
};
