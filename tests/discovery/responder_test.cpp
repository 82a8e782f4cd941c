#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "discovery_responder.h"
#include "udp_test_support.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

constexpr auto kAnswerWait = 2000ms;  // generous: an answer normally takes microseconds

DiscoveredDevice Module(const std::string& name, const std::string& ip) {
    return {name, ip, 502, kWorkModeTcpServer, kAppProtocolModbusTcp, 3, 0, 8};
}

Bytes Spoilt(Bytes bytes, std::size_t at, std::uint8_t value) {
    bytes.at(at) = value;
    return bytes;
}

class ResponderTest : public testing::Test {
  protected:
    std::unique_ptr<DiscoveryResponder> StartModule(const DiscoveredDevice& self) {
        std::string error;
        auto responder = DiscoveryResponder::Start(self, &error, udpPort_);
        EXPECT_NE(responder, nullptr) << error;
        return responder;
    }

    // Sends a search with `id` to `ip` and parses the first answer that comes back.
    std::optional<DiscoveredDevice> Ask(UdpPeer& peer, const std::string& ip, std::uint32_t id) {
        EXPECT_TRUE(peer.SendTo(ip, udpPort_, EncodeSearchRequest(id)));
        const auto reply = peer.Receive(kAnswerWait);
        return reply ? ParseSearchAnswer(reply->bytes, id) : std::nullopt;
    }

    const std::uint16_t udpPort_ = FreeUdpPort();
};

TEST_F(ResponderTest, UnsetAddressIsReportedAsTheLoopbackItWasAskedOn) {
    const auto responder = StartModule(Module("Any", "0.0.0.0"));
    UdpPeer peer;
    for (const char* target : {"127.0.0.1", "127.255.255.255"}) {
        const auto answer = Ask(peer, target, 42);
        ASSERT_TRUE(answer.has_value()) << target;
        EXPECT_EQ(answer->ip, "127.0.0.1") << target;
    }
}

TEST_F(ResponderTest, MalformedRequestsGetNoAnswer) {
    const auto responder = StartModule(Module("Quiet", "127.0.0.1"));
    UdpPeer peer;
    const Bytes valid = EncodeSearchRequest(1);
    const std::vector<Bytes> malformed = {
        {},
        Bytes(valid.begin(), valid.end() - 1),
        [&] {
            Bytes b = valid;
            b.push_back(0);
            return b;
        }(),
        Spoilt(valid, 0, 'X'),
        Spoilt(valid, 4, 9),
        Spoilt(valid, 5, 0),
        EncodeSearchAnswer(1, Module("Echo", "127.0.0.1")),
    };
    for (const auto& request : malformed) {
        ASSERT_TRUE(peer.SendTo("127.0.0.1", udpPort_, request));
    }
    // Datagrams on loopback arrive in order: the first reply must be the valid request's.
    const auto answer = Ask(peer, "127.0.0.1", 0xBEEF);
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(answer->name, "Quiet");
}

TEST_F(ResponderTest, StoppedModuleFallsSilentPromptly) {
    auto responder = StartModule(Module("Brief", "127.0.0.1"));
    UdpPeer peer;
    ASSERT_TRUE(Ask(peer, "127.0.0.1", 1).has_value());
    const auto before = std::chrono::steady_clock::now();
    responder.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 1s);
    ASSERT_TRUE(peer.SendTo("127.0.0.1", udpPort_, EncodeSearchRequest(2)));
    EXPECT_FALSE(peer.Receive(200ms).has_value());
}

TEST_F(ResponderTest, PortHeldExclusivelyElsewhereIsReported) {
    UdpPeer holder(udpPort_);  // 127.0.0.1 without address sharing
    ASSERT_TRUE(holder.Valid());
    std::string error;
    EXPECT_EQ(DiscoveryResponder::Start(Module("Late", "127.0.0.1"), &error, udpPort_), nullptr);
    EXPECT_NE(error.find("bind"), std::string::npos) << error;
}

}  // namespace
