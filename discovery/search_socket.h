#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

// The search's UDP socket on the platform's sockets (search_socket_posix.cpp on BSD sockets,
// search_socket_win32.cpp on Winsock). Addresses and ports are in host order here.
class SearchSocket {
  public:
    // Bound to 127.0.0.1 (loopback only) or to every address, on a port the system picks, and
    // allowed to send to broadcast addresses. Not Valid() when any of that fails.
    explicit SearchSocket(bool loopbackOnly);
    ~SearchSocket();
    SearchSocket(const SearchSocket&) = delete;
    SearchSocket& operator=(const SearchSocket&) = delete;

    bool Valid() const;
    // A target that cannot be reached (an interface going down) is simply skipped.
    void SendTo(std::uint32_t ipv4, std::uint16_t port, std::span<const std::uint8_t> bytes) const;

    enum class Wait : std::uint8_t { Readable, Quiet, Failed };
    Wait WaitReadable(int timeoutMs) const;

    struct Datagram {
        std::size_t size = 0;  // at most the buffer's size; a longer datagram is cut
        std::string fromIp;    // dotted text
    };
    // The next datagram already waiting, nullopt when none is.
    std::optional<Datagram> Receive(std::span<std::uint8_t> buffer) const;

  private:
    std::intptr_t m_socket;  // the platform's socket, -1 (INVALID_SOCKET) when not open
};

// The broadcast address of every IPv4 interface that is up, can broadcast and is not loopback.
std::vector<std::uint32_t> InterfaceBroadcasts();
