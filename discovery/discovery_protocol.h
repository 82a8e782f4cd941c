#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

// One module as the discovery protocol describes it.
struct DiscoveredDevice {
    std::string name;  // at most kMaxNameLength bytes, no NUL
    std::string ip;    // dotted IPv4 text
    std::uint16_t port = 0;  // TCP port, host order
    std::uint8_t workMode = 0;
    std::uint8_t appProtocol = 0;
    std::uint8_t baudIndex = 0;
    std::uint8_t parity = 0;
    std::uint8_t dataBits = 0;
};

inline constexpr std::uint16_t kDiscoveryPort = 47310;  // UDP port modules listen on
inline constexpr std::size_t kMaxNameLength = 32;

std::vector<std::uint8_t> EncodeSearchRequest(std::uint32_t searchId);
std::optional<std::uint32_t> ParseSearchRequest(std::span<const std::uint8_t> datagram);
std::vector<std::uint8_t> EncodeSearchAnswer(std::uint32_t searchId, const DiscoveredDevice& dev);
// Untrusted input: any datagram that is short, long, of another magic or version, or whose
// fields lie about their lengths gives nullopt; nothing is read past the datagram's end.
std::optional<DiscoveredDevice> ParseSearchAnswer(std::span<const std::uint8_t> datagram,
                                                  std::uint32_t expectedSearchId);
