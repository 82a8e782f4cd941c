#pragma once

#include <QObject>
#include <functional>
#include <thread>

#include "wake_event.h"

class QSocketNotifier;

// One job at a time on a thread of its own, for work that blocks (a call into a library that waits
// for answers), so that the window's thread stays free. The job hands its result over by writing
// what it owns; the window reads it in `done`, after the thread has been joined, which orders
// every write of the job before every read of the window.
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

  private:
    void OnJobEnded();

    WakeEvent m_ended;
    QSocketNotifier* m_notifier = nullptr;
    std::thread m_thread;
    std::function<void()> m_done;
};
