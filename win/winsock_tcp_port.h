#pragma once

#include "tcp_port.h"
#include "win_event_port.h"

// TCP connections on Winsock, told through the loop's window (WSAAsyncSelect: connect, read,
// write, close): a connect that does not block (a host name is looked up on a thread of its
// own, and each of its addresses tried in turn), the bytes as they come, and the peer's ending
// told as a reset (WSAECONNRESET, WSAECONNABORTED) or an orderly close. The error texts are the
// Linux window's ("Connection refused"...). Winsock is started once, by the first port.
class WinsockTcpPort : public TcpPort {
  public:
    explicit WinsockTcpPort(Win32EventPort& loop);
    std::unique_ptr<TcpConnection> Create(TcpConnection::Listener listener) override;
    // False when Winsock could not be started: Create then makes nothing.
    bool Valid() const { return m_started; }

  private:
    Win32EventPort& m_loop;
    bool m_started = false;
};
