#include "tcp_link.h"

#include <QTimer>

#include "device_params.h"
#include "modbus_socket.h"

namespace {
constexpr int kRtuReadPauseMs = 200;
}

TcpLink::TcpLink(QObject* parent) : QObject(parent), m_secondParamRead(new QTimer(this)) {
    m_secondParamRead->setSingleShot(true);
    m_secondParamRead->setTimerType(Qt::PreciseTimer);
    m_secondParamRead->setInterval(kRtuReadPauseMs);
    connect(m_secondParamRead, &QTimer::timeout, this, [this] {
        Send(ParamReadFrame(5, LinkFraming()));
        emit ParamReadEnded();
    });
}

bool TcpLink::ParamReadPending() const {
    return m_secondParamRead->isActive();
}

TcpLink::~TcpLink() {
    Disconnect();
}

QString TcpLink::CreateFailedText() {
    return QString::fromUtf8("创建Socket失败!");
}

bool TcpLink::Connect(const QString& host, std::uint32_t port) {
    Disconnect();
    m_pSocket = new CModbusSocket(this);
    if (!m_pSocket->Create()) {
        Disconnect();
        return false;
    }
    m_host = host;
    m_port = port;
    connect(m_pSocket, &CModbusSocket::Connected, this, &TcpLink::OnSocketOutcome);
    connect(m_pSocket, &CModbusSocket::FrameReceived, this, &TcpLink::FrameReceived);
    connect(m_pSocket, &CModbusSocket::ClosedByPeer, this, &TcpLink::OnSocketClosedByPeer);
    m_pSocket->Connect(host, port);
    emit Report(QStringLiteral("TCP client connectting %1:%2...").arg(host, QString::number(port)));
    return true;
}

void TcpLink::Disconnect() {
    if (m_secondParamRead->isActive()) {  // it belonged to the connection that ends
        m_secondParamRead->stop();
        emit ParamReadEnded();
    }
    if (!m_pSocket) {
        return;
    }
    m_pSocket->Close();
    m_pSocket->deleteLater();
    m_pSocket = nullptr;
}

// A failed attempt keeps its socket until the owner drops the link.
void TcpLink::OnSocketOutcome(int errorCode) {
    const QString address = QString::number(m_port);
    if (errorCode == 0) {
        emit Report(QStringLiteral("TCP Client Connected to %1 : %2").arg(m_host, address));
    } else {
        emit Report(QStringLiteral("TCP connect to %1:%2 failed: %3")
                        .arg(m_host, address, m_pSocket->ErrorText()));
    }
    emit Connected(errorCode);
}

void TcpLink::OnSocketClosedByPeer() {
    const bool reset = m_pSocket->PeerEnding() == PeerCloseProbe::Ending::Reset;
    emit PeerClosed(reset ? QStringLiteral("The module reset the connection")
                          : QStringLiteral("The module closed the connection"));
}

void TcpLink::SetFraming(Framing framing) {
    if (m_pSocket) {
        m_pSocket->SetRtuFraming(framing == Framing::ModbusRtu ? 1 : 0);
    }
}

Framing TcpLink::LinkFraming() const {
    return m_pSocket && m_pSocket->RtuFraming() != 0 ? Framing::ModbusRtu : Framing::ModbusTcp;
}

bool TcpLink::Send(std::span<const Byte> frame) {
    return m_pSocket && m_pSocket->Send(frame) >= 0;
}

void TcpLink::ReadParams() {
    if (!m_pSocket) {
        return;
    }
    const Framing framing = LinkFraming();
    Send(ParamReadFrame(3, framing));
    if (framing == Framing::ModbusRtu) {
        m_secondParamRead->start();  // the pause is a timer: the caller's thread stays free
        return;
    }
    Send(ParamReadFrame(5, framing));
}
