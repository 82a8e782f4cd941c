#include "job_runner.h"

JobRunner::JobRunner(cli::RunLoop& loop, std::size_t count, std::size_t bound, Factory factory)
    : m_count(count),
      m_bound(bound),
      m_factory(std::move(factory)),
      m_jobs(count),
      m_done(count, false),
      m_parked(count, false),
      m_results(count),
      m_loop(loop) {}

std::vector<JobResult> JobRunner::Run() {
    if (m_count == 0) {
        return {};
    }
    // Posted: the loop runs before the first job can end or park.
    m_loop.Post(m_life.Guard([this, first = m_started == 0] { first ? StartNext() : Settle(); }));
    m_loop.Run();
    return m_results;
}

void JobRunner::Abort() {
    for (std::size_t index = 0; index < m_count; ++index) {
        if (m_jobs[index] && !m_done[index]) {
            m_jobs[index]->Abort();
            m_results[index] = m_jobs[index]->Result();
        }
    }
    m_loop.Quit();
}

void JobRunner::Continue(std::size_t index, const DeviceParams& block) {
    m_parked[index] = false;
    m_jobs[index]->Write(block);
}

void JobRunner::Drop(std::size_t index) {
    m_parked[index] = false;
    m_jobs[index]->Abort();
    Finish(index);
}

void JobRunner::StartNext() {
    while (m_started < m_count && m_running < m_bound) {
        const std::size_t index = m_started++;
        ++m_running;
        m_jobs[index] = m_factory(index);
        ModuleJob* job = m_jobs[index].get();
        // Finished and parked are taken once the job's own call has returned.
        job->SetHandlers({
            [this, index] { m_loop.Post(m_life.Guard([this, index] { Finish(index); })); },
            [this, index] { m_loop.Post(m_life.Guard([this, index] { Park(index); })); },
            [this, index](const JobEvent& event) {
                if (m_onEvent) m_onEvent(index, event);
            },
        });
        job->Start();
    }
}

void JobRunner::Park(std::size_t index) {
    m_results[index] = m_jobs[index]->Result();
    m_parked[index] = true;
    Settle();
}

void JobRunner::Finish(std::size_t index) {
    m_results[index] = m_jobs[index]->Result();
    m_done[index] = true;
    m_parked[index] = false;  // a parked job whose link was lost
    if (m_keeper) {
        m_keeper(index, std::move(m_jobs[index]));
    } else {
        m_jobs[index].reset();
    }
    --m_running;
    while (m_handedOn < m_count && m_done[m_handedOn]) {
        if (m_onResult) m_onResult(m_results[m_handedOn]);
        ++m_handedOn;
    }
    Settle();
    StartNext();
}

// The loop ends once no job is left running.
void JobRunner::Settle() {
    for (std::size_t index = 0; index < m_count; ++index) {
        if (!m_done[index] && !m_parked[index]) {
            return;
        }
    }
    m_loop.Quit();
}
