#pragma once

#include "poll_loop.h"
#include "tcp_port.h"

// TCP connections on the system's sockets, watched by a PollLoop: a connect that does not block
// (a host name is looked up on a thread of its own, and each of its addresses tried in turn),
// what comes in handed on a bounded share per pass of the loop, and the peer's ending told as a
// reset or an orderly close. The error texts are the window's.
class PollTcpPort : public TcpPort {
  public:
    explicit PollTcpPort(PollLoop& loop) : m_loop(loop) {}
    std::unique_ptr<TcpConnection> Create(TcpConnection::Listener listener) override;

  private:
    PollLoop& m_loop;
};
