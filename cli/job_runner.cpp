#include "job_runner.h"

JobRunner::JobRunner(std::size_t count, std::size_t bound, Factory factory)
    : m_count(count),
      m_bound(bound),
      m_factory(std::move(factory)),
      m_jobs(count),
      m_done(count, false),
      m_results(count) {}

std::vector<JobResult> JobRunner::Run() {
    if (m_count == 0) {
        return {};
    }
    QMetaObject::invokeMethod(this, &JobRunner::StartNext, Qt::QueuedConnection);
    m_loop.exec();
    return m_results;
}

void JobRunner::Abort() {
    for (auto& job : m_jobs) {
        if (job) {
            job->Abort();
        }
    }
    m_loop.quit();
}

void JobRunner::StartNext() {
    while (m_started < m_count && m_running < m_bound) {
        const std::size_t index = m_started++;
        ++m_running;
        m_jobs[index] = m_factory(index);
        ModuleJob* job = m_jobs[index].get();
        connect(
            job, &ModuleJob::Finished, this, [this, index] { Finish(index); },
            Qt::QueuedConnection);
        connect(job, &ModuleJob::Event, this, [this, index](const JobEvent& event) {
            if (m_onEvent) m_onEvent(index, event);
        });
        job->Start();
    }
}

void JobRunner::Finish(std::size_t index) {
    m_results[index] = m_jobs[index]->Result();
    m_done[index] = true;
    m_jobs[index].reset();
    --m_running;
    while (m_handedOn < m_count && m_done[m_handedOn]) {
        if (m_onResult) m_onResult(m_results[m_handedOn]);
        ++m_handedOn;
    }
    if (m_handedOn == m_count) {
        m_loop.quit();
        return;
    }
    StartNext();
}
