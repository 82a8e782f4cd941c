#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "event_port.h"
#include "frames.h"
#include "stream_framer.h"
#include "tcp_port.h"
#include "trace.h"

// The TCP client link to a network module over the platform's connection: the connection
// request returns at once; its outcome, every whole reply frame and the peer's ending come back
// through the handlers on the loop's thread. Replies are cut out of the stream by the framing
// fixed once per connection: 0 = Modbus TCP (MBAP header, stripped), 1 = Modbus RTU inside the
// stream. Every frame and event goes to the trace. The attempt's time limit and the refusal of
// a port above 65535 are kept here, on the loop's time, for every platform's connection alike.
class CModbusSocket {
  public:
    struct Handlers {
        std::function<void(int errorCode)> connected;  // 0 when connected
        std::function<void(std::span<const Byte> frame)> frame;
        std::function<void()> closedByPeer;
    };

    CModbusSocket(EventPort& loop, TcpPort& port, Handlers handlers);
    ~CModbusSocket();
    CModbusSocket(const CModbusSocket&) = delete;
    CModbusSocket& operator=(const CModbusSocket&) = delete;

    // False when the platform could make no socket.
    bool Create();
    // The outcome comes through `connected`, never before this returns: a port above 65535
    // fails the attempt rather than connecting to its low 16 bits, and an attempt with no
    // outcome within kConnectTimeoutMs fails ("timed out after 5 s").
    void Connect(const std::string& host, std::uint32_t port);
    // Closes; no handler of this socket runs afterwards.
    void Close();
    // Queues the bytes for sending; -1 when the socket is not connected.
    std::int64_t Send(std::span<const Byte> bytes);

    void SetRtuFraming(std::uint8_t rtu);
    std::uint8_t RtuFraming() const { return m_bRtuFraming; }
    std::size_t BufferedBytes() const;
    const std::string& ErrorText() const { return m_strError; }
    // Whether the peer reset the connection rather than closed it, once closedByPeer has run.
    bool PeerReset() const { return m_bPeerReset; }

    static constexpr int kConnectTimeoutMs = TcpConnection::kConnectTimeoutMs;

  private:
    void OnConnected(int errorCode);
    void OnReceived(std::span<const Byte> bytes);
    void OnClosedByPeer(bool reset);
    void FailAttempt(const std::string& reason);

    EventPort& m_loop;
    TcpPort& m_port;
    Handlers m_handlers;
    std::unique_ptr<TcpConnection> m_connection;
    std::unique_ptr<StreamFramer> m_framer;
    std::unique_ptr<Timer> m_connectTimer;
    bool m_bConnected = false;
    bool m_bOutcomeGiven = false;
    bool m_bClosed = false;
    std::uint8_t m_bRtuFraming = 0;
    bool m_bPeerReset = false;
    std::string m_strError;
    TraceLink m_traceLink{"TCP"};
    std::string m_peerName;  // "host:port", as the trace tells of the connection
    LifeToken m_life;        // last: guarded calls end before anything else goes
};
