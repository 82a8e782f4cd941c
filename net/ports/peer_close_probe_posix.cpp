#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include "peer_close_probe.h"

PeerCloseProbe::~PeerCloseProbe() {
    Release();
}

void PeerCloseProbe::Attach(std::intptr_t descriptor) {
    Release();
    if (descriptor >= 0) {
        m_fd = ::dup(static_cast<int>(descriptor));
    }
}

// An orderly close (the peer's FIN) leaves the connection waiting for our own close; a reset
// ends it at once.
PeerCloseProbe::Ending PeerCloseProbe::Take() {
    Ending ending = Ending::Closed;
#ifdef TCP_INFO
    tcp_info info{};
    socklen_t size = sizeof info;
    if (m_fd >= 0 && ::getsockopt(m_fd, IPPROTO_TCP, TCP_INFO, &info, &size) == 0 &&
        info.tcpi_state == TCP_CLOSE) {
        ending = Ending::Reset;
    }
#endif
    Release();
    return ending;
}

void PeerCloseProbe::Release() {
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}
