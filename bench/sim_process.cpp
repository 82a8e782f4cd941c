#include "sim_process.h"

#include <QDeadlineTimer>
#include <QRegularExpression>

namespace {
constexpr int kStartBoundMs = 10000;
constexpr int kStopBoundMs = 3000;
}  // namespace

SimProcess::~SimProcess() {
    if (m_process.state() == QProcess::NotRunning) {
        return;
    }
    m_process.terminate();
    if (!m_process.waitForFinished(kStopBoundMs)) {
        m_process.kill();
        m_process.waitForFinished(kStopBoundMs);
    }
}

bool SimProcess::Start(const QStringList& options) {
    m_process.setProgram(QStringLiteral(KESTREL_SIM_EXE));
    m_process.setArguments(options);
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start();
    if (!m_process.waitForStarted(kStartBoundMs)) {
        return false;
    }
    m_process.closeWriteChannel();  // commands are not used; end of input does not stop it
    const QDeadlineTimer deadline(kStartBoundMs);
    while (!m_process.canReadLine()) {
        if (deadline.hasExpired() ||
            !m_process.waitForReadyRead(static_cast<int>(deadline.remainingTime()))) {
            return false;
        }
    }
    m_line = QString::fromUtf8(m_process.readLine()).trimmed();
    return m_line.startsWith(QStringLiteral("listening"));
}

quint16 SimProcess::Port() const {
    static const QRegularExpression address(QStringLiteral(":(\\d+)"));
    const auto match = address.match(m_line);
    return match.hasMatch() ? match.captured(1).toUShort() : 0;
}
