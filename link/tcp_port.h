#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "frames.h"

// A TCP client connection as the platform gives it (Qt's socket, Winsock, a POSIX socket): the
// attempt, the bytes as they come and the peer's ending, told on the loop's thread. No framing
// and no trace: CModbusSocket adds those.
class TcpConnection {
  public:
    struct Listener {
        // 0 when connected, otherwise the platform's error code (ErrorText() says it in words).
        // Told once per attempt. The connection sets no time limit of its own: its user closes
        // an attempt that has no outcome within kConnectTimeoutMs.
        std::function<void(int errorCode)> connected;
        // The bytes that came, in order, as they came.
        std::function<void(std::span<const Byte> bytes)> received;
        // The peer ended the connection: reset true when it reset rather than closed it.
        std::function<void(bool reset)> closedByPeer;
    };

    static constexpr int kConnectTimeoutMs = 5000;

    virtual ~TcpConnection() = default;
    // Starts connecting to host (a dotted address, an IPv6 address, or a name) and port; the
    // user never passes a port above 65535.
    virtual void Connect(const std::string& host, std::uint16_t port) = 0;
    // Queues the bytes for sending; -1 when not connected.
    virtual std::int64_t Send(std::span<const Byte> bytes) = 0;
    // Closes; nothing of this connection is told afterwards, not even what was already queued.
    virtual void Close() = 0;
    // Why the attempt failed, in the system's words.
    virtual std::string ErrorText() const = 0;
};

// Makes connections: null when the platform could make no socket.
class TcpPort {
  public:
    virtual ~TcpPort() = default;
    virtual std::unique_ptr<TcpConnection> Create(TcpConnection::Listener listener) = 0;
};
