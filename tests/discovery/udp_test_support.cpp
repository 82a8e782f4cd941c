#include "udp_test_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <array>

namespace {

sockaddr_in Ipv4(const std::string& ip, std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    inet_pton(AF_INET, ip.c_str(), &address.sin_addr);
    return address;
}

}  // namespace

std::uint16_t FreeUdpPort() {
    UniqueFd sock(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in address = Ipv4("0.0.0.0", 0);
    socklen_t length = sizeof address;
    if (bind(sock.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(sock.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return 0;
    }
    return ntohs(address.sin_port);
}

UdpPeer::UdpPeer(std::uint16_t localPort, bool shareAddress)
    : sock_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)) {
    const int on = 1;
    setsockopt(sock_.Get(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    if (shareAddress) {
        setsockopt(sock_.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    }
    const sockaddr_in local = Ipv4(shareAddress ? "0.0.0.0" : "127.0.0.1", localPort);
    if (bind(sock_.Get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        sock_.Reset();
    }
}

bool UdpPeer::SendTo(const std::string& ip, std::uint16_t port,
                     std::span<const std::uint8_t> bytes) {
    const sockaddr_in to = Ipv4(ip, port);
    const ssize_t sent = sendto(sock_.Get(), bytes.data(), bytes.size(), 0,
                                reinterpret_cast<const sockaddr*>(&to), sizeof to);
    return sent == static_cast<ssize_t>(bytes.size());
}

std::optional<UdpPeer::Datagram> UdpPeer::Receive(std::chrono::milliseconds within) {
    pollfd fd{sock_.Get(), POLLIN, 0};
    if (poll(&fd, 1, static_cast<int>(within.count())) <= 0) {
        return std::nullopt;
    }
    std::array<std::uint8_t, 2048> buffer{};
    sockaddr_in from{};
    socklen_t length = sizeof from;
    const ssize_t got = recvfrom(sock_.Get(), buffer.data(), buffer.size(), 0,
                                 reinterpret_cast<sockaddr*>(&from), &length);
    if (got < 0) {
        return std::nullopt;
    }
    std::array<char, INET_ADDRSTRLEN> ip{};
    inet_ntop(AF_INET, &from.sin_addr, ip.data(), ip.size());
    return Datagram{{buffer.begin(), buffer.begin() + got}, ip.data(), ntohs(from.sin_port)};
}
