// The search socket on BSD sockets.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

#include "search_socket.h"

namespace {

int Fd(std::intptr_t socket) {
    return static_cast<int>(socket);
}

}  // namespace

SearchSocket::SearchSocket(bool loopbackOnly)
    : m_socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)) {
    if (!Valid()) return;
    const int on = 1;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(loopbackOnly ? INADDR_LOOPBACK : INADDR_ANY);
    if (setsockopt(Fd(m_socket), SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0 ||
        bind(Fd(m_socket), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        ::close(Fd(m_socket));
        m_socket = -1;
    }
}

SearchSocket::~SearchSocket() {
    if (Valid()) ::close(Fd(m_socket));
}

bool SearchSocket::Valid() const {
    return m_socket >= 0;
}

void SearchSocket::SendTo(std::uint32_t ipv4, std::uint16_t port,
                          std::span<const std::uint8_t> bytes) const {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(ipv4);
    to.sin_port = htons(port);
    sendto(Fd(m_socket), bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to),
           sizeof to);
}

SearchSocket::Wait SearchSocket::WaitReadable(int timeoutMs) const {
    pollfd entry{Fd(m_socket), POLLIN, 0};
    const int ready = poll(&entry, 1, timeoutMs);
    if (ready > 0) return Wait::Readable;
    if (ready < 0 && errno != EINTR) return Wait::Failed;
    return Wait::Quiet;
}

std::optional<SearchSocket::Datagram> SearchSocket::Receive(std::span<std::uint8_t> buffer) const {
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    const ssize_t got = recvfrom(Fd(m_socket), buffer.data(), buffer.size(), MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (got < 0) return std::nullopt;
    std::array<char, INET_ADDRSTRLEN> text{};
    inet_ntop(AF_INET, &from.sin_addr, text.data(), text.size());
    return Datagram{std::min(static_cast<std::size_t>(got), buffer.size()), text.data()};
}

std::vector<std::uint32_t> InterfaceBroadcasts() {
    std::vector<std::uint32_t> broadcasts;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return broadcasts;
    for (const ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
        const unsigned flags = i->ifa_flags;
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET || (flags & IFF_UP) == 0 ||
            (flags & IFF_BROADCAST) == 0 || (flags & IFF_LOOPBACK) != 0 ||
            i->ifa_broadaddr == nullptr) {
            continue;
        }
        const auto* broadcast = reinterpret_cast<const sockaddr_in*>(i->ifa_broadaddr);
        broadcasts.push_back(ntohl(broadcast->sin_addr.s_addr));
    }
    freeifaddrs(list);
    return broadcasts;
}
