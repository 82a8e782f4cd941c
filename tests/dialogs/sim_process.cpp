#include "sim_process.h"

#include <QElapsedTimer>
#include <QRegularExpression>

namespace {
constexpr int kPatienceMs = 5000;
}

SimProcess::SimProcess(const QStringList& args, const QProcessEnvironment& env) {
    m_process.setProcessEnvironment(env);
    m_process.setProcessChannelMode(QProcess::SeparateChannels);
    m_process.start(QStringLiteral(KESTREL_SIM_EXE), args);
    if (!m_process.waitForStarted(kPatienceMs)) {
        return;
    }
    const QString line = ReadLine(kPatienceMs);
    if (line.startsWith(QStringLiteral("listening "))) {
        m_listening = line;
    }
}

SimProcess::~SimProcess() {
    if (m_process.state() == QProcess::NotRunning) {
        return;
    }
    m_process.write("quit\n");
    if (!m_process.waitForFinished(kPatienceMs)) {
        m_process.kill();
        m_process.waitForFinished(kPatienceMs);
    }
}

quint16 SimProcess::TcpPort() const {
    static const QRegularExpression pattern(QStringLiteral("^listening tcp [0-9.]+:(\\d+)"));
    const auto match = pattern.match(m_listening);
    return match.hasMatch() ? match.captured(1).toUShort() : 0;
}

QString SimProcess::ReadLine(int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    while (!m_process.canReadLine()) {
        const auto left = timeoutMs - clock.elapsed();
        if (left <= 0 || !m_process.waitForReadyRead(static_cast<int>(left))) {
            return {};
        }
    }
    return QString::fromUtf8(m_process.readLine()).trimmed();
}

QString SimProcess::Command(const QString& line) {
    m_process.write((line + QLatin1Char('\n')).toUtf8());
    m_process.waitForBytesWritten(kPatienceMs);
    return ReadLine(kPatienceMs);
}

std::optional<std::array<Byte, 10>> SimProcess::ShownParams() {
    static const QRegularExpression pattern(QStringLiteral(" params=((?:[0-9A-F]{2} ?){10})"));
    const auto match = pattern.match(Command(QStringLiteral("show")));
    if (!match.hasMatch()) {
        return std::nullopt;
    }
    const QByteArray bytes = QByteArray::fromHex(match.captured(1).remove(' ').toLatin1());
    std::array<Byte, 10> params{};
    for (std::size_t n = 0; n < params.size(); ++n) {
        params[n] = static_cast<Byte>(bytes.at(static_cast<qsizetype>(n)));
    }
    return params;
}
