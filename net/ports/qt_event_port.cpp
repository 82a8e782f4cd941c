#include "qt_event_port.h"

#include <QObject>
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

QtEventPort::QtEventPort() : m_context(std::make_unique<QObject>()) {}

QtEventPort::~QtEventPort() = default;

std::unique_ptr<Timer> QtEventPort::MakeTimer() {
    return std::make_unique<QtTimer>();
}

void QtEventPort::Post(std::function<void()> fn) {
    QMetaObject::invokeMethod(m_context.get(), std::move(fn), Qt::QueuedConnection);
}
