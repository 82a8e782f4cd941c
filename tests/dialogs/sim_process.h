#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <array>
#include <optional>

#include "frames.h"

// A kestrel-sim process driven through its standard input and output.
class SimProcess {
  public:
    // Starts the simulator and waits for its "listening" line.
    explicit SimProcess(const QStringList& args,
                        const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment());
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    bool Started() const { return !m_listening.isEmpty(); }
    const QString& ListeningLine() const { return m_listening; }
    // The port of "listening tcp HOST:PORT ...", 0 for other lines.
    quint16 TcpPort() const;
    // Sends one command line and returns the line it answers with (empty when none came).
    QString Command(const QString& line);
    // The parameter block and address the module reports on "show".
    std::optional<std::array<Byte, 10>> ShownParams();

  private:
    QString ReadLine(int timeoutMs);

    QProcess m_process;
    QString m_listening;
};
