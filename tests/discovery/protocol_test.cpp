#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "discovery_protocol.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kSearchId = 0x12345678;

// Written out byte for byte, so the wire layout is pinned independently of the encoder.
const Bytes kAnswer = {
    'K',  'S',  'D',  'A',  1,  // magic, version
    0x12, 0x34, 0x56, 0x78,     // search id
    0x01, 0xF6,                 // TCP port 502
    0,    1,    3,    2,    8,  // work mode, app protocol, baud index, parity, data bits
    192,  168,  1,    50,       // IPv4 address
    4,    'R',  'L',  'Y',  '1',
};
const Bytes kRequest = {'K', 'S', 'D', 'Q', 1, 1, 0xCA, 0xFE, 0x00, 0x01};

DiscoveredDevice Device(std::string name, std::string ip) {
    return {
        std::move(name), std::move(ip), 502, kWorkModeTcpServer, kAppProtocolModbusTcp, 3, 2, 8};
}

void ExpectSameDevice(const DiscoveredDevice& a, const DiscoveredDevice& b) {
    EXPECT_EQ(a.name, b.name);
    EXPECT_EQ(a.ip, b.ip);
    EXPECT_EQ(a.port, b.port);
    EXPECT_EQ(Bytes({a.workMode, a.appProtocol, a.baudIndex, a.parity, a.dataBits}),
              Bytes({b.workMode, b.appProtocol, b.baudIndex, b.parity, b.dataBits}));
}

TEST(SearchAnswer, HandWrittenAnswerParsesAndEncodesToTheSameBytes) {
    const auto parsed = ParseSearchAnswer(kAnswer, kSearchId);
    ASSERT_TRUE(parsed.has_value());
    ExpectSameDevice(*parsed, Device("RLY1", "192.168.1.50"));
    EXPECT_EQ(EncodeSearchAnswer(kSearchId, Device("RLY1", "192.168.1.50")), kAnswer);
}

TEST(SearchAnswer, MalformedAnswersAreRefused) {
    std::vector<Bytes> bad;
    for (std::size_t length = 0; length < kAnswer.size(); ++length) {
        bad.emplace_back(kAnswer.begin(), kAnswer.begin() + length);
    }
    const std::vector<std::function<void(Bytes&)>> spoilers = {
        [](Bytes& a) { a.push_back('x'); },  // one byte too long
        [](Bytes& a) { a[3] = 'Q'; },        // request magic
        [](Bytes& a) { a[4] = 0; },          // version
        [](Bytes& a) { a[4] = 2; },
        [](Bytes& a) { a[8] ^= 1; },  // search id
        [](Bytes& a) { a[5] ^= 0x80; },
        [](Bytes& a) { a[20] = 5; },  // name length past the end
        [](Bytes& a) { a[20] = 0xFF; },
        [](Bytes& a) { a[20] = 3; },  // name length short of the end
        [](Bytes& a) { a[22] = 0; },  // NUL in the name
        [](Bytes& a) {                // 33-byte name, length consistent
            a.resize(kAnswerFixedSize);
            a.back() = 33;
            a.insert(a.end(), 33, 'n');
        },
    };
    for (const auto& spoil : spoilers) {
        bad.push_back(kAnswer);
        spoil(bad.back());
    }
    for (std::size_t i = 0; i < bad.size(); ++i) {
        EXPECT_FALSE(ParseSearchAnswer(bad[i], kSearchId).has_value()) << "case " << i;
    }
}

TEST(SearchAnswer, RoundTripAndWhatTheEncoderCannotSend) {
    struct Case {
        DiscoveredDevice sent;
        std::string name, ip;  // as they arrive
    };
    DiscoveredDevice extremes{
        std::string(kMaxNameLength, 'Z'), "255.255.255.255", 65535, 255, 0, 7, 1, 0};
    const std::vector<Case> cases = {
        {extremes, extremes.name, extremes.ip},
        {Device("", "0.0.0.0"), "", "0.0.0.0"},
        {Device(std::string(40, 'a'), "10.0.0.1"), std::string(kMaxNameLength, 'a'), "10.0.0.1"},
        {Device(std::string("ab\0cd", 5), "10.0.0.1"), "ab", "10.0.0.1"},
        {Device("box", "not an address"), "box", "0.0.0.0"},
        {Device("box", "::1"), "box", "0.0.0.0"},
    };
    for (const auto& c : cases) {
        const auto answer = EncodeSearchAnswer(0xFFFFFFFF, c.sent);
        EXPECT_EQ(answer.size(), kAnswerFixedSize + c.name.size());
        const auto parsed = ParseSearchAnswer(answer, 0xFFFFFFFF);
        ASSERT_TRUE(parsed.has_value()) << c.sent.ip;
        DiscoveredDevice expected = c.sent;
        expected.name = c.name;
        expected.ip = c.ip;
        ExpectSameDevice(*parsed, expected);
    }
}

TEST(SearchRequest, ParsesOnlyTheExactRequest) {
    EXPECT_EQ(ParseSearchRequest(kRequest), std::optional<std::uint32_t>(0xCAFE0001));
    EXPECT_EQ(EncodeSearchRequest(0xCAFE0001), kRequest);
    std::vector<Bytes> bad;
    for (std::size_t length = 0; length < kRequest.size(); ++length) {
        bad.emplace_back(kRequest.begin(), kRequest.begin() + length);
    }
    for (const auto& [at, value] : std::vector<std::pair<std::size_t, std::uint8_t>>{
             {3, 'A'}, {4, 2}, {5, 0}, {5, 2}}) {  // answer magic, version, types
        bad.push_back(kRequest);
        bad.back()[at] = value;
    }
    bad.push_back(kRequest);
    bad.back().push_back(0);
    for (const auto& request : bad) {
        EXPECT_FALSE(ParseSearchRequest(request).has_value()) << "size " << request.size();
    }
}

}  // namespace
