#include "qt_event_port.h"

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

namespace {

class QtTimer final : public Timer {
  public:
    QtTimer() {
        m_timer.setSingleShot(true);
        m_timer.setTimerType(Qt::PreciseTimer);
        // The call may restart or destroy its timer: it runs from a copy of its own.
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            const std::function<void()> fn = std::exchange(m_fn, nullptr);
            fn();
        });
    }

    void Start(std::chrono::milliseconds after, std::function<void()> fn) override {
        m_fn = std::move(fn);
        m_timer.start(after);
    }
    void Stop() override {
        m_timer.stop();
        m_fn = nullptr;
    }
    bool Active() const override { return m_timer.isActive(); }

  private:
    QTimer m_timer;
    std::function<void()> m_fn;
};

}  // namespace

QtEventPort::QtEventPort() : m_context(std::make_unique<QObject>()) {
    auto* notifier =
        new QSocketNotifier(m_wake.Descriptor(), QSocketNotifier::Read, m_context.get());
    QObject::connect(notifier, &QSocketNotifier::activated, m_context.get(),
                     [this] { RunPosted(); });
}

QtEventPort::~QtEventPort() = default;

std::unique_ptr<Timer> QtEventPort::MakeTimer() {
    return std::make_unique<QtTimer>();
}

void QtEventPort::Post(std::function<void()> fn) {
    {
        const std::lock_guard lock(m_mutex);
        m_posted.push_back(std::move(fn));
    }
    m_wake.Signal();
}

// One call at a time, so a call that runs a nested loop (a modal box) leaves the rest, in order,
// to that loop.
void QtEventPort::RunPosted() {
    m_wake.Clear();
    for (;;) {
        std::function<void()> fn;
        {
            const std::lock_guard lock(m_mutex);
            if (m_posted.empty()) {
                return;
            }
            fn = std::move(m_posted.front());
            m_posted.pop_front();
        }
        fn();
    }
}
