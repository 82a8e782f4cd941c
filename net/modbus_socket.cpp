#include "modbus_socket.h"

#include <QElapsedTimer>
#include <QNetworkProxy>
#include <QTcpSocket>
#include <QTimer>
#include <algorithm>
#include <array>
#include <limits>

namespace {
constexpr std::uint32_t kHighestPort = 65535;
constexpr qint64 kReadChunk = 4096;
// What one turn of the event loop frames at most, in bytes and in time; the rest waits for the
// next turn, so a module (or anything on its port) streaming without pause cannot freeze the
// window. The socket holds no more than this either.
constexpr qint64 kReadPerTurn = 16 * 1024;
constexpr qint64 kTurnBudgetMs = 4;
}  // namespace

CModbusSocket::CModbusSocket(QObject* parent) : QObject(parent) {
    SetRtuFraming(0);
}

CModbusSocket::~CModbusSocket() {
    Close();
}

bool CModbusSocket::Create() {
    m_connectTimer = new QTimer(this);
    m_connectTimer->setSingleShot(true);
    m_connectTimer->setTimerType(Qt::PreciseTimer);
    connect(m_connectTimer, &QTimer::timeout, this, &CModbusSocket::OnConnectTimeout);
    m_socket = new QTcpSocket(this);
    // Modules are reached directly on the local network, never through a proxy; this also
    // spares every attempt the system proxy lookup and its thread.
    m_socket->setProxy(QNetworkProxy::NoProxy);
    m_socket->setReadBufferSize(kReadPerTurn);
    connect(m_socket, &QTcpSocket::connected, this, &CModbusSocket::OnConnect);
    connect(m_socket, &QTcpSocket::errorOccurred, this, &CModbusSocket::OnError);
    connect(m_socket, &QTcpSocket::readyRead, this, &CModbusSocket::OnReceive);
    connect(m_socket, &QTcpSocket::disconnected, this, &CModbusSocket::OnClose);
    return true;
}

void CModbusSocket::Connect(const QString& host, std::uint32_t port) {
    if (port > kHighestPort) {
        const QString reason = QStringLiteral("port %1 is out of range").arg(port);
        QTimer::singleShot(0, this, [this, reason] { FailAttempt(reason); });
        return;
    }
    m_peerName = host.toStdString() + ':' + std::to_string(port);
    m_connectTimer->start(kConnectTimeoutMs);
    m_socket->connectToHost(host, static_cast<quint16>(port));
}

void CModbusSocket::Close() {
    disconnect();  // from every receiver: queued outcomes of a dropped socket reach nobody
    if (m_connectTimer) {
        m_connectTimer->stop();
    }
    m_probe.Release();
    if (!m_socket) {
        return;
    }
    if (m_socket->state() == QAbstractSocket::ConnectedState) {
        TraceLinkEvent(m_traceLink, trace_kind::kClose, "closed " + m_peerName);
    }
    m_socket->disconnect(this);
    m_socket->abort();
    m_socket->deleteLater();
    m_socket = nullptr;
}

std::int64_t CModbusSocket::Send(std::span<const Byte> bytes) {
    if (!m_socket || m_socket->state() != QAbstractSocket::ConnectedState) {
        return -1;
    }
    TraceFrame(m_traceLink, "tx", bytes);
    const qint64 written = m_socket->write(reinterpret_cast<const char*>(bytes.data()),
                                           static_cast<qint64>(bytes.size()));
    m_socket->flush();  // on the wire now, not at the next turn of the event loop
    return written;
}

void CModbusSocket::SetRtuFraming(std::uint8_t rtu) {
    m_bRtuFraming = rtu;
    // RTU frames inside the stream are held to their CRC like those on a serial line, so stray
    // bytes can never pose as a reply.
    const Framing framing = rtu != 0 ? Framing::ModbusRtu : Framing::ModbusTcp;
    m_framer = std::make_unique<StreamFramer>(framing, Direction::Reply);
    m_traceLink.framing = framing;
}

void CModbusSocket::HandOn(std::span<const Byte> bytes) {
    m_framer->Append(bytes);
    while (const auto piece = m_framer->Next()) {
        if (!piece->IsFrame()) {
            TraceFrame(m_traceLink, "drop", piece->bytes);
            continue;
        }
        TraceFrame(m_traceLink, "rx", piece->wire);
        emit FrameReceived(piece->bytes);
    }
}

void CModbusSocket::OnConnect() {
    m_connectTimer->stop();
    m_bOutcomeGiven = true;
    m_probe.Attach(m_socket->socketDescriptor());
    TraceLinkEvent(m_traceLink, trace_kind::kOpen, "connected to " + m_peerName);
    emit Connected(0);
}

void CModbusSocket::FailAttempt(const QString& reason) {
    if (!m_socket || m_bOutcomeGiven) {
        return;
    }
    m_bOutcomeGiven = true;  // whatever the abort below may signal is not a second outcome
    m_connectTimer->stop();
    m_socket->abort();
    m_strError = reason;
    TraceLinkEvent(m_traceLink, trace_kind::kFail,
                   "connect to " + m_peerName + " failed: " + reason.toStdString());
    emit Connected(1);
}

// The peer neither accepted nor refused (a module that drops the request, a host that is not
// there): give up rather than wait out the system's minutes of retries.
void CModbusSocket::OnConnectTimeout() {
    FailAttempt(QStringLiteral("timed out after %1 s").arg(kConnectTimeoutMs / 1000));
}

void CModbusSocket::OnError() {
    if (m_bOutcomeGiven) {
        return;  // a connected link's errors end in OnClose
    }
    FailAttempt(m_socket->errorString());
}

void CModbusSocket::OnReceive() {
    ReadAtMost(kReadPerTurn, kTurnBudgetMs);
    if (m_socket && m_socket->bytesAvailable() > 0 && !m_bReadQueued) {
        // The socket tells of new bytes only as they come: what is left is read next turn.
        m_bReadQueued = true;
        QMetaObject::invokeMethod(
            this,
            [this] {
                m_bReadQueued = false;
                OnReceive();
            },
            Qt::QueuedConnection);
    }
}

void CModbusSocket::ReadAtMost(qint64 budget, qint64 budgetMs) {
    std::array<Byte, kReadChunk> chunk{};
    QElapsedTimer clock;
    clock.start();
    while (m_socket && budget > 0 && m_socket->bytesAvailable() > 0 &&
           clock.elapsed() <= budgetMs) {
        const qint64 got =
            m_socket->read(reinterpret_cast<char*>(chunk.data()), std::min(kReadChunk, budget));
        if (got <= 0) {
            return;
        }
        budget -= got;
        HandOn(std::span<const Byte>(chunk.data(), static_cast<std::size_t>(got)));
    }
}

void CModbusSocket::OnClose() {
    // Whatever came before the close is still decoded: at most one turn's worth is held.
    constexpr qint64 kAll = std::numeric_limits<qint64>::max();
    ReadAtMost(kAll, kAll);
    m_peerEnding = m_probe.Take();
    TraceLinkEvent(
        m_traceLink, trace_kind::kClose,
        (m_peerEnding == PeerCloseProbe::Ending::Reset ? "reset by " : "closed by ") + m_peerName);
    emit ClosedByPeer();
}
