// The search socket on Winsock.
#include <winsock2.h>
#include <ws2tcpip.h>
// After winsock2.h, which must come before windows.h.
#include <iphlpapi.h>

#include <algorithm>
#include <array>
#include <vector>

#include "search_socket.h"

namespace {

SOCKET Handle(std::intptr_t socket) {
    return static_cast<SOCKET>(socket);
}

// Winsock is started for each socket and stopped with it (the calls are counted).
bool StartWinsock() {
    WSADATA data{};
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

std::intptr_t OpenBound(bool loopbackOnly) {
    const SOCKET sock = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (sock == INVALID_SOCKET) return -1;
    const BOOL on = TRUE;
    u_long nonBlocking = 1;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(loopbackOnly ? INADDR_LOOPBACK : INADDR_ANY);
    if (setsockopt(sock, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&on), sizeof on) !=
            0 ||
        ioctlsocket(sock, FIONBIO, &nonBlocking) != 0 ||
        bind(sock, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        closesocket(sock);
        return -1;
    }
    return static_cast<std::intptr_t>(sock);
}

}  // namespace

SearchSocket::SearchSocket(bool loopbackOnly) : m_socket(-1) {
    if (!StartWinsock()) return;
    m_socket = OpenBound(loopbackOnly);
    if (!Valid()) WSACleanup();
}

SearchSocket::~SearchSocket() {
    if (!Valid()) return;
    closesocket(Handle(m_socket));
    WSACleanup();
}

bool SearchSocket::Valid() const {
    return m_socket != -1;
}

void SearchSocket::SendTo(std::uint32_t ipv4, std::uint16_t port,
                          std::span<const std::uint8_t> bytes) const {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(ipv4);
    to.sin_port = htons(port);
    sendto(Handle(m_socket), reinterpret_cast<const char*>(bytes.data()),
           static_cast<int>(bytes.size()), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

SearchSocket::Wait SearchSocket::WaitReadable(int timeoutMs) const {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(Handle(m_socket), &readable);
    timeval bound{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    const int ready = select(0, &readable, nullptr, nullptr, &bound);
    if (ready > 0) return Wait::Readable;
    return ready == 0 ? Wait::Quiet : Wait::Failed;
}

std::optional<SearchSocket::Datagram> SearchSocket::Receive(std::span<std::uint8_t> buffer) const {
    sockaddr_in from{};
    int fromLength = sizeof from;
    const int got = recvfrom(Handle(m_socket), reinterpret_cast<char*>(buffer.data()),
                             static_cast<int>(buffer.size()), 0, reinterpret_cast<sockaddr*>(&from),
                             &fromLength);
    // A datagram longer than the buffer is cut to it (WSAEMSGSIZE), as a BSD socket cuts it.
    const bool cut = got < 0 && WSAGetLastError() == WSAEMSGSIZE;
    if (got < 0 && !cut) return std::nullopt;
    std::array<char, INET_ADDRSTRLEN> text{};
    inet_ntop(AF_INET, &from.sin_addr, text.data(), text.size());
    return Datagram{cut ? buffer.size() : static_cast<std::size_t>(got), text.data()};
}

namespace {

std::vector<std::uint8_t> AdapterList() {
    ULONG size = 16 * 1024;
    std::vector<std::uint8_t> list(size);
    const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
    for (int attempt = 0; attempt < 3; ++attempt) {
        const ULONG result = GetAdaptersAddresses(
            AF_INET, flags, nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(list.data()), &size);
        if (result == NO_ERROR) return list;
        if (result != ERROR_BUFFER_OVERFLOW) break;
        list.resize(size);
    }
    return {};
}

}  // namespace

std::vector<std::uint32_t> InterfaceBroadcasts() {
    std::vector<std::uint32_t> broadcasts;
    std::vector<std::uint8_t> list = AdapterList();
    if (list.empty()) return broadcasts;
    for (auto* adapter = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(list.data()); adapter != nullptr;
         adapter = adapter->Next) {
        if (adapter->OperStatus != IfOperStatusUp || adapter->IfType == IF_TYPE_SOFTWARE_LOOPBACK) {
            continue;
        }
        for (auto* unicast = adapter->FirstUnicastAddress; unicast != nullptr;
             unicast = unicast->Next) {
            const auto* address = reinterpret_cast<const sockaddr_in*>(unicast->Address.lpSockaddr);
            const unsigned prefix = std::min<unsigned>(unicast->OnLinkPrefixLength, 32);
            if (address->sin_family != AF_INET || prefix == 0 || prefix >= 31) continue;
            const std::uint32_t host = ntohl(address->sin_addr.s_addr);
            broadcasts.push_back(host | (0xFFFFFFFFu >> prefix));
        }
    }
    return broadcasts;
}
