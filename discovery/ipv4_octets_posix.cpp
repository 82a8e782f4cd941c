#include <arpa/inet.h>

#include <cstring>

#include "ipv4_octets.h"

std::array<std::uint8_t, 4> Ipv4Octets(const std::string& text) {
    std::array<std::uint8_t, 4> octets{};
    in_addr address{};
    if (inet_pton(AF_INET, text.c_str(), &address) == 1) {
        std::memcpy(octets.data(), &address.s_addr, octets.size());
    }
    return octets;
}
