#include "modbus_socket.h"

#include <chrono>

namespace {
constexpr std::uint32_t kHighestPort = 65535;
}  // namespace

CModbusSocket::CModbusSocket(EventPort& loop, TcpPort& port, Handlers handlers)
    : m_loop(loop), m_port(port), m_handlers(std::move(handlers)) {
    SetRtuFraming(0);
}

CModbusSocket::~CModbusSocket() {
    Close();
}

bool CModbusSocket::Create() {
    m_connection = m_port.Create({
        m_life.Guard([this](int errorCode) { OnConnected(errorCode); }),
        m_life.Guard([this](std::span<const Byte> bytes) { OnReceived(bytes); }),
        m_life.Guard([this](bool reset) { OnClosedByPeer(reset); }),
    });
    m_connectTimer = m_loop.MakeTimer();
    return m_connection != nullptr;
}

void CModbusSocket::Connect(const std::string& host, std::uint32_t port) {
    m_peerName = host + ':' + std::to_string(port);
    if (port > kHighestPort) {
        const std::string reason = "port " + std::to_string(port) + " is out of range";
        m_loop.Post(m_life.Guard([this, reason] { FailAttempt(reason); }));
        return;
    }
    // The peer neither accepts nor refuses (a module that drops the request, a host that is not
    // there): give up rather than wait out the system's minutes of retries.
    m_connectTimer->Start(std::chrono::milliseconds(kConnectTimeoutMs), [this] {
        FailAttempt("timed out after " + std::to_string(kConnectTimeoutMs / 1000) + " s");
    });
    m_connection->Connect(host, static_cast<std::uint16_t>(port));
}

void CModbusSocket::Close() {
    if (m_bClosed) {
        return;
    }
    m_bClosed = true;  // from here on no handler runs, not even for what is already queued
    if (m_connectTimer) {
        m_connectTimer->Stop();
    }
    if (!m_connection) {
        return;
    }
    if (m_bConnected) {
        TraceLinkEvent(m_traceLink, trace_kind::kClose, "closed " + m_peerName);
    }
    m_bConnected = false;
    m_connection->Close();
}

std::int64_t CModbusSocket::Send(std::span<const Byte> bytes) {
    if (!m_bConnected || m_bClosed) {
        return -1;
    }
    TraceFrame(m_traceLink, "tx", bytes);
    return m_connection->Send(bytes);
}

void CModbusSocket::SetRtuFraming(std::uint8_t rtu) {
    m_bRtuFraming = rtu;
    // RTU frames inside the stream are held to their CRC like those on a serial line, so stray
    // bytes can never pose as a reply.
    const Framing framing = rtu != 0 ? Framing::ModbusRtu : Framing::ModbusTcp;
    m_framer = std::make_unique<StreamFramer>(framing, Direction::Reply);
    m_traceLink.framing = framing;
}

std::size_t CModbusSocket::BufferedBytes() const {
    return m_framer->Buffered();
}

void CModbusSocket::OnConnected(int errorCode) {
    if (m_bClosed || m_bOutcomeGiven) {
        return;
    }
    if (errorCode != 0) {
        m_strError = m_connection->ErrorText();
        FailAttempt(m_strError);
        return;
    }
    m_connectTimer->Stop();
    m_bOutcomeGiven = true;
    m_bConnected = true;
    TraceLinkEvent(m_traceLink, trace_kind::kOpen, "connected to " + m_peerName);
    if (m_handlers.connected) {
        m_handlers.connected(0);
    }
}

void CModbusSocket::FailAttempt(const std::string& reason) {
    if (m_bClosed || m_bOutcomeGiven) {
        return;
    }
    m_bOutcomeGiven = true;  // whatever the close below may tell is not a second outcome
    m_connectTimer->Stop();
    m_connection->Close();
    m_strError = reason;
    TraceLinkEvent(m_traceLink, trace_kind::kFail,
                   "connect to " + m_peerName + " failed: " + reason);
    if (m_handlers.connected) {
        m_handlers.connected(1);
    }
}

// Frames the bytes and hands on every frame, until a handler closes the socket.
void CModbusSocket::OnReceived(std::span<const Byte> bytes) {
    if (m_bClosed) {
        return;
    }
    m_framer->Append(bytes);
    while (!m_bClosed) {
        const auto piece = m_framer->Next();
        if (!piece) {
            return;
        }
        if (!piece->IsFrame()) {
            TraceFrame(m_traceLink, "drop", piece->bytes);
            continue;
        }
        TraceFrame(m_traceLink, "rx", piece->wire);
        if (m_handlers.frame) {
            m_handlers.frame(piece->bytes);
        }
    }
}

void CModbusSocket::OnClosedByPeer(bool reset) {
    if (m_bClosed) {
        return;
    }
    m_bPeerReset = reset;
    m_bConnected = false;
    TraceLinkEvent(m_traceLink, trace_kind::kClose,
                   (reset ? "reset by " : "closed by ") + m_peerName);
    if (m_handlers.closedByPeer) {
        m_handlers.closedByPeer();
    }
}
