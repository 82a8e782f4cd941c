#pragma once

#include <QObject>
#include <functional>
#include <memory>
#include <thread>

#include "wake_event.h"

class QSocketNotifier;

// One job at a time on a thread of its own, for work that blocks (a call into a library that waits
// for answers), so that the window's thread stays free. The job hands its result over by writing
// what it shares with `done` (through a shared_ptr it holds itself); `done` runs on the window's
// thread after the thread has been joined, which orders every write of the job before every read
// of the window.
class BackgroundTask : public QObject {
  public:
    explicit BackgroundTask(QObject* parent = nullptr);
    ~BackgroundTask() override;
    BackgroundTask(const BackgroundTask&) = delete;
    BackgroundTask& operator=(const BackgroundTask&) = delete;

    // Window's thread: runs `job` on the task's thread, then `done` on the window's thread.
    void Start(std::function<void()> job, std::function<void()> done);
    bool Running() const { return m_thread.joinable(); }
    // Waits for a job under way to end; its `done` never runs.
    void Abandon();
    // Lets a job under way run to its end unwaited (the window is closing); its `done` never runs.
    // Sound only for a job that uses nothing but what it holds itself: the task's own end signal
    // is shared with the thread, which lets it go when the job returns.
    void Leave();

  private:
    void WatchEnd();
    void DropNotifier();
    void OnJobEnded();

    std::shared_ptr<const WakeEvent> m_ended;  // the job's, also held by its thread
    QSocketNotifier* m_notifier = nullptr;
    std::thread m_thread;
    std::function<void()> m_done;
};
