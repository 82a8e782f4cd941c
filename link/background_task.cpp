#include "background_task.h"

#include <mutex>
#include <utility>

// What the job's thread shares with the task: the loop to post its end to, until it is left.
struct BackgroundTask::Ending {
    std::mutex mutex;
    EventPort* loop = nullptr;
};

BackgroundTask::BackgroundTask(EventPort& loop) : m_loop(loop) {}

BackgroundTask::~BackgroundTask() {
    Abandon();
}

// Each job posts an end of its own, numbered, so one that was abandoned cannot be taken for the
// next.
void BackgroundTask::Start(std::function<void()> job, std::function<void()> done) {
    Abandon();
    m_done = std::move(done);
    m_ending = std::make_shared<Ending>();
    m_ending->loop = &m_loop;
    const std::uint64_t number = ++m_job;
    m_thread = std::thread([ending = m_ending, job = std::move(job),
                            ended = m_life.Guard([this, number] { OnJobEnded(number); })] {
        job();
        const std::lock_guard lock(ending->mutex);
        if (ending->loop != nullptr) {
            ending->loop->Post(ended);
        }
    });
}

void BackgroundTask::Abandon() {
    if (m_thread.joinable()) {
        m_thread.join();
    }
    ++m_job;  // an end already posted finds another number
    m_done = nullptr;
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
    ++m_job;
    m_done = nullptr;
}

void BackgroundTask::OnJobEnded(std::uint64_t number) {
    if (number != m_job || !m_thread.joinable()) {
        return;
    }
    m_thread.join();
    if (auto done = std::exchange(m_done, nullptr)) {
        done();
    }
}
