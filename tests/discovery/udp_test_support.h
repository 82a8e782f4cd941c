#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "unique_fd.h"

// A UDP port nothing on loopback is bound to right now.
std::uint16_t FreeUdpPort();

// A UDP socket on 127.0.0.1 that may send to the loopback broadcast address.
class UdpPeer {
  public:
    explicit UdpPeer(std::uint16_t localPort = 0, bool shareAddress = false);
    bool Valid() const { return sock_.Valid(); }
    bool SendTo(const std::string& ip, std::uint16_t port, std::span<const std::uint8_t> bytes);
    // The next datagram received before the deadline, and where it came from.
    struct Datagram {
        std::vector<std::uint8_t> bytes;
        std::string fromIp;
        std::uint16_t fromPort = 0;
    };
    std::optional<Datagram> Receive(std::chrono::milliseconds within);

  private:
    UniqueFd sock_;
};
