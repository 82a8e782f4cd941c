#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "event_port.h"
#include "frames.h"
#include "modbus_socket.h"
#include "param_read.h"
#include "request_link.h"
#include "tcp_port.h"

// The TCP link to a network module: the socket from the connection attempt until it is dropped,
// the parameter read that follows a connection, and the words for how an attempt failed or how
// the module ended the connection. It knows no window and no toolkit: it takes plain values and
// tells what happens through its handlers, on the loop's thread. Texts are UTF-8.
class TcpLink : public RequestLink {
  public:
    struct Handlers {
        // A line for the operator's report.
        std::function<void(const std::string& line)> report;
        // 0 when connected (the line saying so has been reported), otherwise the socket error
        // code (the line saying why has been reported).
        std::function<void(int errorCode)> connected;
        std::function<void(std::span<const Byte> frame)> frame;
        // The module closed or reset the connection; reason says which. The link is still up:
        // the owner drops it.
        std::function<void(const std::string& reason)> peerClosed;
        // The parameter read's last request has gone out, or the link was dropped while it
        // waited for its pause.
        std::function<void()> paramReadEnded;
    };

    TcpLink(EventPort& loop, TcpPort& port, Handlers handlers);
    ~TcpLink();
    TcpLink(const TcpLink&) = delete;
    TcpLink& operator=(const TcpLink&) = delete;

    // Starts an attempt on a new socket; false when no socket could be made. The outcome comes
    // through `connected`.
    bool Connect(const std::string& host, std::uint32_t port);
    // Drops the socket; no handler runs for it afterwards.
    void Disconnect();
    // Fixes the framing of the connection: requests, replies and the parameter read.
    void SetFraming(Framing framing);
    // The two reads of the parameter block, the RTU ones 200 ms apart.
    void ReadParams();
    // The second RTU read waits for its pause.
    bool ParamReadPending() const;

    // The socket from the attempt until the link is dropped; null when there is none.
    CModbusSocket* Socket() const { return m_pSocket.get(); }

    bool Ready() const override { return m_pSocket != nullptr; }
    bool Send(std::span<const Byte> frame) override;
    Framing LinkFraming() const override;
    std::string TraceName() const override { return "TCP"; }

    // "创建Socket失败!"
    static std::string CreateFailedText();

  private:
    void OnSocketOutcome(int errorCode);
    void OnSocketClosedByPeer();
    void Report(const std::string& line) const;

    EventPort& m_loop;
    TcpPort& m_port;
    Handlers m_handlers;
    std::unique_ptr<CModbusSocket> m_pSocket;
    ParamRead m_paramRead;
    std::string m_host;
    std::uint32_t m_portNumber = 0;
};
