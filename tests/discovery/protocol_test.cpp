#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "discovery_protocol.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kSearchId = 0x12345678;

// An answer written out by hand, byte for byte, so the wire layout is pinned independently of
// the encoder.
const Bytes kRelayBoxAnswer = {
    'K',  'S',  'D',  'A',  1,    // magic, version
    0x12, 0x34, 0x56, 0x78,       // search id
    0x01, 0xF6,                   // TCP port 502
    0,    1,    3,    2,    8,    // work mode, app protocol, baud index, parity, data bits
    192,  168,  1,    50,         // IPv4 address
    4,    'R',  'L',  'Y',  '1',  // name length, name
};

DiscoveredDevice RelayBox() {
    DiscoveredDevice dev;
    dev.name = "RLY1";
    dev.ip = "192.168.1.50";
    dev.port = 502;
    dev.workMode = kWorkModeTcpServer;
    dev.appProtocol = kAppProtocolModbusTcp;
    dev.baudIndex = 3;
    dev.parity = 2;
    dev.dataBits = 8;
    return dev;
}

void ExpectSameDevice(const DiscoveredDevice& a, const DiscoveredDevice& b) {
    EXPECT_EQ(a.name, b.name);
    EXPECT_EQ(a.ip, b.ip);
    EXPECT_EQ(a.port, b.port);
    EXPECT_EQ(a.workMode, b.workMode);
    EXPECT_EQ(a.appProtocol, b.appProtocol);
    EXPECT_EQ(a.baudIndex, b.baudIndex);
    EXPECT_EQ(a.parity, b.parity);
    EXPECT_EQ(a.dataBits, b.dataBits);
}

TEST(SearchAnswer, HandWrittenAnswerParsesAndEncodesToTheSameBytes) {
    const auto parsed = ParseSearchAnswer(kRelayBoxAnswer, kSearchId);
    ASSERT_TRUE(parsed.has_value());
    ExpectSameDevice(*parsed, RelayBox());
    EXPECT_EQ(EncodeSearchAnswer(kSearchId, RelayBox()), kRelayBoxAnswer);
}

TEST(SearchAnswer, EveryTruncationIsRefused) {
    for (std::size_t length = 0; length < kRelayBoxAnswer.size(); ++length) {
        const Bytes cut(kRelayBoxAnswer.begin(), kRelayBoxAnswer.begin() + length);
        EXPECT_FALSE(ParseSearchAnswer(cut, kSearchId).has_value()) << "length " << length;
    }
}

struct BadAnswer {
    const char* what;
    std::function<void(Bytes&)> spoil;
};

class SpoiltAnswer : public testing::TestWithParam<BadAnswer> {};

TEST_P(SpoiltAnswer, IsRefused) {
    Bytes answer = kRelayBoxAnswer;
    GetParam().spoil(answer);
    EXPECT_FALSE(ParseSearchAnswer(answer, kSearchId).has_value());
}

INSTANTIATE_TEST_SUITE_P(
    Answers, SpoiltAnswer,
    testing::Values(BadAnswer{"OneByteTooLong", [](Bytes& a) { a.push_back('x'); }},
                    BadAnswer{"RequestMagic", [](Bytes& a) { a[3] = 'Q'; }},
                    BadAnswer{"LowerCaseMagic", [](Bytes& a) { a[0] = 'k'; }},
                    BadAnswer{"VersionZero", [](Bytes& a) { a[4] = 0; }},
                    BadAnswer{"VersionTwo", [](Bytes& a) { a[4] = 2; }},
                    BadAnswer{"SearchIdLowBitDiffers", [](Bytes& a) { a[8] ^= 1; }},
                    BadAnswer{"SearchIdHighBitDiffers", [](Bytes& a) { a[5] ^= 0x80; }},
                    BadAnswer{"NameLengthPastTheEnd", [](Bytes& a) { a[20] = 5; }},
                    BadAnswer{"NameLengthFarPastTheEnd", [](Bytes& a) { a[20] = 0xFF; }},
                    BadAnswer{"NameLengthShort", [](Bytes& a) { a[20] = 3; }},
                    BadAnswer{"NameOf33Bytes",
                              [](Bytes& a) {
                                  a.resize(21);
                                  a[20] = 33;
                                  a.insert(a.end(), 33, 'n');
                              }},
                    BadAnswer{"NulInName", [](Bytes& a) { a[22] = 0; }}),
    [](const testing::TestParamInfo<BadAnswer>& p) { return std::string(p.param.what); });

TEST(SearchAnswer, RoundTripKeepsEveryField) {
    const std::vector<DiscoveredDevice> devices = [] {
        DiscoveredDevice empty;
        empty.ip = "0.0.0.0";
        DiscoveredDevice longest = RelayBox();
        longest.name = std::string(kMaxNameLength, 'Z');
        longest.ip = "255.255.255.255";
        longest.port = 65535;
        longest.workMode = 0xFF;
        longest.appProtocol = kAppProtocolRtuInTcp;
        longest.baudIndex = 7;
        longest.parity = 1;
        longest.dataBits = 7;
        DiscoveredDevice utf8 = RelayBox();
        utf8.name =
            "Halle \xC3\xBC"
            "ber";
        return std::vector{empty, longest, utf8};
    }();
    for (const auto& dev : devices) {
        const auto answer = EncodeSearchAnswer(0xFFFFFFFF, dev);
        EXPECT_EQ(answer.size(), kAnswerFixedSize + dev.name.size());
        const auto parsed = ParseSearchAnswer(answer, 0xFFFFFFFF);
        ASSERT_TRUE(parsed.has_value()) << dev.name;
        ExpectSameDevice(*parsed, dev);
    }
}

TEST(SearchAnswer, EncoderKeepsWhatCannotTravelOutOfTheAnswer) {
    struct Case {
        std::string name, ip, sentName, sentIp;
    };
    const std::vector<Case> cases = {
        {std::string(40, 'a'), "10.0.0.1", std::string(kMaxNameLength, 'a'), "10.0.0.1"},
        {std::string("ab\0cd", 5), "10.0.0.1", "ab", "10.0.0.1"},
        {"box", "not an address", "box", "0.0.0.0"},
        {"box", "", "box", "0.0.0.0"},
        {"box", "::1", "box", "0.0.0.0"},
    };
    for (const auto& c : cases) {
        DiscoveredDevice dev = RelayBox();
        dev.name = c.name;
        dev.ip = c.ip;
        const auto parsed = ParseSearchAnswer(EncodeSearchAnswer(7, dev), 7);
        ASSERT_TRUE(parsed.has_value()) << c.ip;
        EXPECT_EQ(parsed->name, c.sentName);
        EXPECT_EQ(parsed->ip, c.sentIp);
    }
}

const Bytes kRequest = {'K', 'S', 'D', 'Q', 1, 1, 0xCA, 0xFE, 0x00, 0x01};

TEST(SearchRequest, HandWrittenRequestParsesAndEncodesToTheSameBytes) {
    EXPECT_EQ(ParseSearchRequest(kRequest), std::optional<std::uint32_t>(0xCAFE0001));
    EXPECT_EQ(EncodeSearchRequest(0xCAFE0001), kRequest);
    for (const std::uint32_t id : {0u, 1u, 0x80000000u, 0xFFFFFFFFu}) {
        EXPECT_EQ(ParseSearchRequest(EncodeSearchRequest(id)), std::optional<std::uint32_t>(id));
    }
}

TEST(SearchRequest, MalformedRequestsAreRefused) {
    std::vector<Bytes> bad;
    for (std::size_t length = 0; length < kRequest.size(); ++length) {
        bad.emplace_back(kRequest.begin(), kRequest.begin() + length);
    }
    const std::vector<std::function<void(Bytes&)>> spoilers = {
        [](Bytes& r) { r.push_back(0); },  // one byte too long
        [](Bytes& r) { r[3] = 'A'; },      // answer magic
        [](Bytes& r) { r[4] = 2; },        // version
        [](Bytes& r) { r[5] = 0; },        // unknown type
        [](Bytes& r) { r[5] = 2; },
    };
    for (const auto& spoil : spoilers) {
        bad.push_back(kRequest);
        spoil(bad.back());
    }
    for (const auto& request : bad) {
        EXPECT_FALSE(ParseSearchRequest(request).has_value()) << "size " << request.size();
    }
}

}  // namespace
