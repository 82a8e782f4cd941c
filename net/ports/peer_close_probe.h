#pragma once

#include <cstdint>

// Tells how the peer ended a TCP connection. The socket layer closes its own descriptor when it
// reads the end of the stream, and it reads a reset as an orderly close; a second descriptor of
// the same connection, taken while it is up, still shows the connection's last state.
class PeerCloseProbe {
  public:
    enum class Ending : std::uint8_t { Closed, Reset };

    PeerCloseProbe() = default;
    ~PeerCloseProbe();
    PeerCloseProbe(const PeerCloseProbe&) = delete;
    PeerCloseProbe& operator=(const PeerCloseProbe&) = delete;

    // Takes a second descriptor of a connected socket.
    void Attach(std::intptr_t descriptor);
    // How the connection ended; to be asked once the peer has ended it. Releases the descriptor.
    Ending Take();
    void Release();

  private:
    int m_fd = -1;
};
