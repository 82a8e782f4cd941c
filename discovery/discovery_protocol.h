#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

// One module as the discovery protocol describes it.
struct DiscoveredDevice {
    std::string name;        // at most kMaxNameLength bytes, no NUL
    std::string ip;          // dotted IPv4 text
    std::uint16_t port = 0;  // TCP port, host order
    std::uint8_t workMode = 0;
    std::uint8_t appProtocol = 0;
    std::uint8_t baudIndex = 0;
    std::uint8_t parity = 0;
    std::uint8_t dataBits = 0;
};

inline constexpr std::uint16_t kDiscoveryPort = 47310;  // UDP port modules listen on
inline constexpr std::size_t kMaxNameLength = 32;

// Wire layout (docs/discovery.md has the full description). Multi-byte fields are big-endian.
inline constexpr std::uint8_t kDiscoveryVersion = 1;
inline constexpr std::uint8_t kRequestTypeSearch = 1;
inline constexpr std::size_t kSearchRequestSize = 10;  // magic 4, version, type, search id 4
inline constexpr std::size_t kAnswerFixedSize = 21;    // everything before the name bytes
inline constexpr std::size_t kMaxAnswerSize = kAnswerFixedSize + kMaxNameLength;

// Codes carried in an answer. Baud index, parity and data bits are the module's own serial
// setting codes, carried through unchanged.
inline constexpr std::uint8_t kWorkModeTcpServer = 0;
inline constexpr std::uint8_t kAppProtocolRtuInTcp = 0;
inline constexpr std::uint8_t kAppProtocolModbusTcp = 1;

std::vector<std::uint8_t> EncodeSearchRequest(std::uint32_t searchId);
std::optional<std::uint32_t> ParseSearchRequest(std::span<const std::uint8_t> datagram);
// The name goes out cut at its first NUL and at kMaxNameLength bytes; an ip that is not dotted
// IPv4 text goes out as 0.0.0.0.
std::vector<std::uint8_t> EncodeSearchAnswer(std::uint32_t searchId, const DiscoveredDevice& dev);
// Untrusted input: any datagram that is short, long, of another magic or version, or whose
// fields lie about their lengths gives nullopt; nothing is read past the datagram's end.
// A name holding a NUL byte is refused too (it could not be handed on as C text).
std::optional<DiscoveredDevice> ParseSearchAnswer(std::span<const std::uint8_t> datagram,
                                                  std::uint32_t expectedSearchId);
