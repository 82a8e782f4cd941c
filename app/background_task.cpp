#include "background_task.h"

#include <QSocketNotifier>
#include <utility>

BackgroundTask::BackgroundTask(QObject* parent) : QObject(parent) {
    m_notifier = new QSocketNotifier(m_ended.Descriptor(), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &BackgroundTask::OnJobEnded);
}

BackgroundTask::~BackgroundTask() {
    Abandon();
}

void BackgroundTask::Start(std::function<void()> job, std::function<void()> done) {
    Abandon();
    m_done = std::move(done);
    m_thread = std::thread([this, job = std::move(job)] {
        job();
        m_ended.Signal();
    });
}

void BackgroundTask::Abandon() {
    if (m_thread.joinable()) {
        m_thread.join();
    }
    m_ended.Clear();
    m_done = nullptr;
}

void BackgroundTask::OnJobEnded() {
    m_ended.Clear();
    if (!m_thread.joinable()) {
        return;  // abandoned after it had signalled
    }
    m_thread.join();
    if (auto done = std::exchange(m_done, nullptr)) {
        done();
    }
}
