#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

// kestrel-sim as a child process, started with the given options; stopped and reaped when
// this goes away.
class SimProcess {
  public:
    SimProcess() = default;
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    // Starts it and waits (bounded) for its "listening ..." line.
    bool Start(const QStringList& options);
    // A network module on loopback on a free port, not answering discovery.
    bool StartTcp() {
        return Start({QStringLiteral("--tcp"), QStringLiteral("127.0.0.1:0"),
                      QStringLiteral("--no-discovery")});
    }
    // The TCP port from the listening line (network model).
    quint16 Port() const;
    const QString& ListeningLine() const { return m_line; }

  private:
    QProcess m_process;
    QString m_line;
};
