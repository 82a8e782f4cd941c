#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <vector>

// A peer on loopback that accepts the panel's connection, records what arrives (with the time
// of each arrival) and sends whatever a test tells it to.
class LoopbackModule {
  public:
    struct Arrival {
        qint64 atMs;
        QByteArray bytes;
    };

    LoopbackModule();
    quint16 Port() const { return m_server.serverPort(); }
    bool WaitConnected(int timeoutMs = 5000);
    // Waits until at least `count` bytes have arrived in all.
    bool WaitBytes(int count, int timeoutMs = 5000);
    QByteArray Received() const;
    const std::vector<Arrival>& Arrivals() const { return m_arrivals; }
    void ClearReceived() { m_arrivals.clear(); }
    void Send(const QByteArray& bytes);
    void CloseClient();
    // Ends the connection with a reset instead of an orderly close.
    void ResetClient();

  private:
    QTcpServer m_server;
    QPointer<QTcpSocket> m_client;
    QElapsedTimer m_clock;
    std::vector<Arrival> m_arrivals;
};

QByteArray Hex(const char* text);
