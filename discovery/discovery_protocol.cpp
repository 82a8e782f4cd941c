#include "discovery_protocol.h"

#include <algorithm>
#include <array>

#include "codec.h"
#include "ipv4_octets.h"

namespace {

constexpr std::array<std::uint8_t, 4> kRequestMagic{'K', 'S', 'D', 'Q'};
constexpr std::array<std::uint8_t, 4> kAnswerMagic{'K', 'S', 'D', 'A'};

// Offsets inside an answer.
constexpr std::size_t kAnswerVersionAt = 4;
constexpr std::size_t kAnswerSearchIdAt = 5;
constexpr std::size_t kAnswerPortAt = 9;
constexpr std::size_t kAnswerWorkModeAt = 11;
constexpr std::size_t kAnswerAppProtocolAt = 12;
constexpr std::size_t kAnswerBaudIndexAt = 13;
constexpr std::size_t kAnswerParityAt = 14;
constexpr std::size_t kAnswerDataBitsAt = 15;
constexpr std::size_t kAnswerIpAt = 16;
constexpr std::size_t kAnswerNameLengthAt = 20;

// Offsets inside a request.
constexpr std::size_t kRequestVersionAt = 4;
constexpr std::size_t kRequestTypeAt = 5;
constexpr std::size_t kRequestSearchIdAt = 6;

void PutU32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    AppendWord(out, static_cast<std::uint16_t>(value >> 16));
    AppendWord(out, static_cast<std::uint16_t>(value & 0xFFFF));
}

std::uint32_t GetU32(std::span<const std::uint8_t> in, std::size_t at) {
    return (std::uint32_t{ReadWord(in, at)} << 16) | ReadWord(in, at + 2);
}

bool StartsWith(std::span<const std::uint8_t> in, const std::array<std::uint8_t, 4>& magic) {
    return in.size() >= magic.size() && std::equal(magic.begin(), magic.end(), in.begin());
}

std::string Ipv4Text(std::span<const std::uint8_t> octets) {
    return std::to_string(octets[0]) + '.' + std::to_string(octets[1]) + '.' +
           std::to_string(octets[2]) + '.' + std::to_string(octets[3]);
}

// The name as it goes on the wire: up to the first NUL, at most kMaxNameLength bytes.
std::string WireName(const std::string& name) {
    const std::size_t nul = name.find('\0');
    return name.substr(0, std::min({nul, name.size(), kMaxNameLength}));
}

}  // namespace

std::vector<std::uint8_t> EncodeSearchRequest(std::uint32_t searchId) {
    std::vector<std::uint8_t> out(kRequestMagic.begin(), kRequestMagic.end());
    out.push_back(kDiscoveryVersion);
    out.push_back(kRequestTypeSearch);
    PutU32(out, searchId);
    return out;
}

std::optional<std::uint32_t> ParseSearchRequest(std::span<const std::uint8_t> datagram) {
    if (datagram.size() != kSearchRequestSize || !StartsWith(datagram, kRequestMagic) ||
        datagram[kRequestVersionAt] != kDiscoveryVersion ||
        datagram[kRequestTypeAt] != kRequestTypeSearch) {
        return std::nullopt;
    }
    return GetU32(datagram, kRequestSearchIdAt);
}

std::vector<std::uint8_t> EncodeSearchAnswer(std::uint32_t searchId, const DiscoveredDevice& dev) {
    const std::string name = WireName(dev.name);
    std::vector<std::uint8_t> out(kAnswerMagic.begin(), kAnswerMagic.end());
    out.reserve(kAnswerFixedSize + name.size());
    out.push_back(kDiscoveryVersion);
    PutU32(out, searchId);
    AppendWord(out, dev.port);
    out.insert(out.end(), {dev.workMode, dev.appProtocol, dev.baudIndex, dev.parity, dev.dataBits});
    const auto octets = Ipv4Octets(dev.ip);
    out.insert(out.end(), octets.begin(), octets.end());
    out.push_back(static_cast<std::uint8_t>(name.size()));
    out.insert(out.end(), name.begin(), name.end());
    return out;
}

std::optional<DiscoveredDevice> ParseSearchAnswer(std::span<const std::uint8_t> datagram,
                                                  std::uint32_t expectedSearchId) {
    if (datagram.size() < kAnswerFixedSize || !StartsWith(datagram, kAnswerMagic) ||
        datagram[kAnswerVersionAt] != kDiscoveryVersion ||
        GetU32(datagram, kAnswerSearchIdAt) != expectedSearchId) {
        return std::nullopt;
    }
    const std::size_t nameLength = datagram[kAnswerNameLengthAt];
    if (nameLength > kMaxNameLength || datagram.size() != kAnswerFixedSize + nameLength) {
        return std::nullopt;
    }
    const auto nameBytes = datagram.subspan(kAnswerFixedSize, nameLength);
    if (std::find(nameBytes.begin(), nameBytes.end(), std::uint8_t{0}) != nameBytes.end()) {
        return std::nullopt;
    }
    DiscoveredDevice dev;
    dev.name.assign(nameBytes.begin(), nameBytes.end());
    dev.ip = Ipv4Text(datagram.subspan(kAnswerIpAt, 4));
    dev.port = ReadWord(datagram, kAnswerPortAt);
    dev.workMode = datagram[kAnswerWorkModeAt];
    dev.appProtocol = datagram[kAnswerAppProtocolAt];
    dev.baudIndex = datagram[kAnswerBaudIndexAt];
    dev.parity = datagram[kAnswerParityAt];
    dev.dataBits = datagram[kAnswerDataBitsAt];
    return dev;
}
