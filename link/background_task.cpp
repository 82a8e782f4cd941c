#include "background_task.h"

#include <mutex>
#include <utility>

// What the job's thread shares with the task: where to tell that the job ended, until the task
// leaves it.
struct BackgroundTask::Ending {
    std::mutex mutex;
    EventPort* loop = nullptr;
    std::function<void()> tell;
};

BackgroundTask::BackgroundTask(EventPort& loop) : m_loop(loop) {}

BackgroundTask::~BackgroundTask() {
    Abandon();
}

void BackgroundTask::Start(std::function<void()> job, std::function<void()> done) {
    Abandon();
    m_done = std::move(done);
    auto ending = std::make_shared<Ending>();
    ending->loop = &m_loop;
    ending->tell = m_life.Guard([this, id = m_job] { OnJobEnded(id); });
    m_ending = ending;
    m_thread = std::thread([ending, job = std::move(job)] {
        job();
        const std::lock_guard lock(ending->mutex);
        if (ending->loop != nullptr) {
            ending->loop->Post(ending->tell);
        }
    });
}

void BackgroundTask::Abandon() {
    if (m_thread.joinable()) {
        m_thread.join();
    }
    m_done = nullptr;
    ++m_job;  // an end told already is not this one's
}

void BackgroundTask::Leave() {
    if (!m_thread.joinable()) {
        return;
    }
    {
        const std::lock_guard lock(m_ending->mutex);
        m_ending->loop = nullptr;
    }
    m_thread.detach();
    m_ending.reset();
    m_done = nullptr;
    ++m_job;
}

void BackgroundTask::OnJobEnded(std::uint64_t job) {
    if (job != m_job || !m_thread.joinable()) {
        return;
    }
    m_thread.join();
    ++m_job;
    if (auto done = std::exchange(m_done, nullptr)) {
        done();
    }
}
