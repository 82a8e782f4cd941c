#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "module_job.h"
#include "platform.h"

// Runs one job per module, at most `bound` at once on the loop, and hands on
// their results in the order the modules were given, each as soon as those before it are in.
// A job may park half-way (params set, its block read): Run returns once every job has finished
// or parked, and Continue or Drop decide what becomes of a parked one before Run goes on.
class JobRunner {
  public:
    using Factory = std::function<std::unique_ptr<ModuleJob>(std::size_t index)>;
    using ResultSink = std::function<void(const JobResult&)>;
    using EventSink = std::function<void(std::size_t index, const JobEvent&)>;
    using Keeper = std::function<void(std::size_t index, std::unique_ptr<ModuleJob> job)>;

    JobRunner(cli::RunLoop& loop, std::size_t count, std::size_t bound, Factory factory);
    JobRunner(const JobRunner&) = delete;
    JobRunner& operator=(const JobRunner&) = delete;
    void OnResult(ResultSink sink) { m_onResult = std::move(sink); }
    void OnEvent(EventSink sink) { m_onEvent = std::move(sink); }
    // Finished jobs go to the keeper instead of being destroyed (their links may stay open).
    void KeepFinished(Keeper keeper) { m_keeper = std::move(keeper); }

    // Returns when every job has finished or parked, or at Abort (then the jobs that had not
    // finished carry what they had: JobResult::kNotEnded, or how far a write got).
    std::vector<JobResult> Run();
    void Abort();
    // A parked job writes `block` (ModuleJob::Write), or ends with its link closed.
    void Continue(std::size_t index, const DeviceParams& block);
    void Drop(std::size_t index);

  private:
    void StartNext();
    void Finish(std::size_t index);
    void Park(std::size_t index);
    void Settle();

    std::size_t m_count;
    std::size_t m_bound;
    Factory m_factory;
    ResultSink m_onResult;
    EventSink m_onEvent;
    Keeper m_keeper;
    std::vector<std::unique_ptr<ModuleJob>> m_jobs;
    std::vector<bool> m_done;
    std::vector<bool> m_parked;
    std::vector<JobResult> m_results;
    std::size_t m_started = 0;
    std::size_t m_running = 0;
    std::size_t m_handedOn = 0;
    cli::RunLoop& m_loop;
    LifeToken m_life;
};
