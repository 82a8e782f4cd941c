#include "tcp_link.h"

#include <chrono>

#include "device_params.h"

TcpLink::TcpLink(EventPort& loop, TcpPort& port, Handlers handlers)
    : m_loop(loop), m_port(port), m_handlers(std::move(handlers)), m_paramRead(loop) {}

TcpLink::~TcpLink() {
    Disconnect();
}

std::string TcpLink::CreateFailedText() {
    return "创建Socket失败!";
}

bool TcpLink::ParamReadPending() const {
    return m_paramRead.Pending();
}

bool TcpLink::Connect(const std::string& host, std::uint32_t port) {
    Disconnect();
    m_pSocket =
        std::make_unique<CModbusSocket>(m_loop, m_port,
                                        CModbusSocket::Handlers{
                                            [this](int errorCode) { OnSocketOutcome(errorCode); },
                                            [this](std::span<const Byte> frame) {
                                                if (m_handlers.frame) {
                                                    m_handlers.frame(frame);
                                                }
                                            },
                                            [this] { OnSocketClosedByPeer(); },
                                        });
    if (!m_pSocket->Create()) {
        Disconnect();
        return false;
    }
    m_host = host;
    m_portNumber = port;
    m_pSocket->Connect(host, port);
    Report("TCP client connectting " + host + ':' + std::to_string(port) + "...");
    return true;
}

// The socket may be dropped from inside one of its own handlers: it is closed at once and
// destroyed once the loop has left them.
void TcpLink::Disconnect() {
    m_paramRead.Stop(true);  // a second read waiting belonged to the connection that ends
    if (!m_pSocket) {
        return;
    }
    m_pSocket->Close();
    m_loop.Post([dropped = std::shared_ptr<CModbusSocket>(std::move(m_pSocket))] {});
}

// A failed attempt keeps its socket until the owner drops the link.
void TcpLink::OnSocketOutcome(int errorCode) {
    const std::string port = std::to_string(m_portNumber);
    if (errorCode == 0) {
        Report("TCP Client Connected to " + m_host + " : " + port);
    } else {
        Report("TCP connect to " + m_host + ':' + port + " failed: " + m_pSocket->ErrorText());
    }
    if (m_handlers.connected) {
        m_handlers.connected(errorCode);
    }
}

void TcpLink::OnSocketClosedByPeer() {
    if (m_handlers.peerClosed) {
        m_handlers.peerClosed(m_pSocket->PeerReset() ? "The module reset the connection"
                                                     : "The module closed the connection");
    }
}

void TcpLink::Report(const std::string& line) const {
    if (m_handlers.report) {
        m_handlers.report(line);
    }
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
    m_paramRead.Start(*this, std::nullopt, {nullptr, [this](bool) {
                                                if (m_handlers.paramReadEnded) {
                                                    m_handlers.paramReadEnded();
                                                }
                                            }});
}
