#pragma once

#include <QEventLoop>
#include <QObject>
#include <functional>
#include <memory>
#include <vector>

#include "module_job.h"

// Runs one job per module, at most `bound` at once on this thread's event loop, and hands on
// their results in the order the modules were given, each as soon as those before it are in.
class JobRunner : public QObject {
    Q_OBJECT
  public:
    using Factory = std::function<std::unique_ptr<ModuleJob>(std::size_t index)>;
    using ResultSink = std::function<void(const JobResult&)>;
    using EventSink = std::function<void(std::size_t index, const JobEvent&)>;

    JobRunner(std::size_t count, std::size_t bound, Factory factory);
    void OnResult(ResultSink sink) { m_onResult = std::move(sink); }
    void OnEvent(EventSink sink) { m_onEvent = std::move(sink); }

    // Returns when every job has finished, or at Abort (then the jobs that had not finished
    // have the status JobResult::kNotEnded).
    std::vector<JobResult> Run();
    void Abort();

  private:
    void StartNext();
    void Finish(std::size_t index);

    std::size_t m_count;
    std::size_t m_bound;
    Factory m_factory;
    ResultSink m_onResult;
    EventSink m_onEvent;
    std::vector<std::unique_ptr<ModuleJob>> m_jobs;
    std::vector<bool> m_done;
    std::vector<JobResult> m_results;
    std::size_t m_started = 0;
    std::size_t m_running = 0;
    std::size_t m_handedOn = 0;
    QEventLoop m_loop;
};
