#pragma once

#include "tcp_port.h"

// TCP connections on Qt's sockets, told on the event loop of the thread that makes them. What
// comes in is handed on a bounded share per turn of the loop, so a peer that streams without
// pause cannot freeze the window; how the peer ended is told from a second descriptor of the
// connection (reset or orderly close).
class QtTcpPort : public TcpPort {
  public:
    std::unique_ptr<TcpConnection> Create(TcpConnection::Listener listener) override;
};
