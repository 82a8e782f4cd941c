#include "loopback_module.h"

#include <sys/socket.h>

#include "wait_for.h"

LoopbackModule::LoopbackModule() {
    m_clock.start();
    m_server.listen(QHostAddress::LocalHost);
    QObject::connect(&m_server, &QTcpServer::newConnection, [this] {
        m_client = m_server.nextPendingConnection();
        QObject::connect(m_client, &QTcpSocket::readyRead, [this] {
            m_arrivals.push_back({m_clock.elapsed(), m_client->readAll()});
        });
    });
}

bool LoopbackModule::WaitConnected(int timeoutMs) {
    return WaitFor([this] { return !m_client.isNull(); }, timeoutMs);
}

bool LoopbackModule::WaitBytes(int count, int timeoutMs) {
    return WaitFor([this, count] { return Received().size() >= count; }, timeoutMs);
}

QByteArray LoopbackModule::Received() const {
    QByteArray all;
    for (const Arrival& arrival : m_arrivals) {
        all += arrival.bytes;
    }
    return all;
}

void LoopbackModule::Send(const QByteArray& bytes) {
    m_client->write(bytes);
    m_client->flush();
}

void LoopbackModule::CloseClient() {
    m_client->disconnectFromHost();
}

void LoopbackModule::ResetClient() {
    const linger abortive{1, 0};  // closing now sends a reset
    setsockopt(static_cast<int>(m_client->socketDescriptor()), SOL_SOCKET, SO_LINGER, &abortive,
               sizeof abortive);
    m_client->abort();
}

QByteArray Hex(const char* text) {
    return QByteArray::fromHex(QByteArray(text).replace(' ', ""));
}
