#pragma once

#include <QElapsedTimer>
#include <QTimer>
#include <algorithm>

// The longest time between two ticks of a 1 ms timer on the user-interface thread: how long the
// window could not have answered.
class StallProbe {
  public:
    StallProbe() {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(1);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { Tick(); });
    }
    void Start() {
        m_clock.start();
        m_lastNs = 0;
        m_longestNs = 0;
        m_timer.start();
    }
    double LongestMs() {
        Tick();
        return static_cast<double>(m_longestNs) / 1e6;
    }
    double SecondsSinceStart() const { return static_cast<double>(m_clock.nsecsElapsed()) / 1e9; }

  private:
    void Tick() {
        const qint64 now = m_clock.nsecsElapsed();
        m_longestNs = std::max(m_longestNs, now - m_lastNs);
        m_lastNs = now;
    }

    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_lastNs = 0;
    qint64 m_longestNs = 0;
};
