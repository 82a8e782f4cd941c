#include "background_task.h"

#include <QSocketNotifier>
#include <utility>

BackgroundTask::BackgroundTask(QObject* parent) : QObject(parent) {}

BackgroundTask::~BackgroundTask() {
    Abandon();
    DropNotifier();
}

void BackgroundTask::Start(std::function<void()> job, std::function<void()> done) {
    Abandon();
    m_done = std::move(done);
    WatchEnd();
    m_thread = std::thread([ended = m_ended, job = std::move(job)] {
        job();
        ended->Signal();
    });
}

// Each job signals an end of its own, so one that was left cannot be taken for the next.
void BackgroundTask::WatchEnd() {
    DropNotifier();
    m_ended = std::make_shared<const WakeEvent>();
    m_notifier = new QSocketNotifier(m_ended->Descriptor(), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &BackgroundTask::OnJobEnded);
}

// Disabled at once, so it never watches a descriptor that has closed; deleted later, as `done`
// may start the next job from inside its signal.
void BackgroundTask::DropNotifier() {
    if (m_notifier != nullptr) {
        m_notifier->setEnabled(false);
        std::exchange(m_notifier, nullptr)->deleteLater();
    }
}

void BackgroundTask::Abandon() {
    if (m_thread.joinable()) {
        m_thread.join();
    }
    if (m_ended) {
        m_ended->Clear();
    }
    m_done = nullptr;
}

void BackgroundTask::Leave() {
    if (!m_thread.joinable()) {
        return;
    }
    m_thread.detach();
    DropNotifier();
    m_ended.reset();
    m_done = nullptr;
}

void BackgroundTask::OnJobEnded() {
    m_ended->Clear();
    if (!m_thread.joinable()) {
        return;  // abandoned after it had signalled
    }
    m_thread.join();
    if (auto done = std::exchange(m_done, nullptr)) {
        done();
    }
}
