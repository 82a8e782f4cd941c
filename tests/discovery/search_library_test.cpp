#include "search_library.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "discovery_responder.h"
#include "search_library_binding.h"
#include "search_scope.h"
#include "udp_test_support.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

DiscoveredDevice Module(const std::string& name, std::uint16_t port, std::uint8_t code) {
    DiscoveredDevice dev;
    dev.name = name;
    dev.ip = "127.0.0.1";
    dev.port = port;
    dev.workMode = kWorkModeTcpServer;
    dev.appProtocol = code % 2;
    dev.baudIndex = code;
    dev.parity = static_cast<std::uint8_t>(code % 3);
    dev.dataBits = static_cast<std::uint8_t>(5 + code % 4);
    return dev;
}

// Answers one search with whatever datagrams `reply` makes from the search id, from a socket
// sharing the discovery port with any responders.
class FakeModule {
  public:
    using Reply = std::function<std::vector<Bytes>(std::uint32_t searchId)>;
    FakeModule(std::uint16_t udpPort, Reply reply) : peer_(udpPort, true) {
        thread_ = std::thread([this, reply] {
            const auto request = peer_.Receive(5s);
            const auto id = request ? ParseSearchRequest(request->bytes) : std::nullopt;
            for (const auto& datagram : id ? reply(*id) : std::vector<Bytes>{}) {
                peer_.SendTo(request->fromIp, request->fromPort, datagram);
            }
        });
    }
    ~FakeModule() { thread_.join(); }

  private:
    UdpPeer peer_;
    std::thread thread_;
};

class SearchLibraryTest : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        lib_ = LoadSearchLibraryByName("DAVazIvurirU2");  // beside the tests, as beside the panel
        ASSERT_TRUE(lib_.Complete());
    }

    // Each test searches on a port of its own so that modules run by anything else on this
    // machine stay out of its results.
    void SetUp() override {
        ASSERT_TRUE(lib_.Complete());
        ASSERT_NE(udpPort_, 0);
        setenv("KESTREL_DISCOVERY_PORT", std::to_string(udpPort_).c_str(), 1);
    }
    void TearDown() override { unsetenv("KESTREL_DISCOVERY_PORT"); }

    std::unique_ptr<DiscoveryResponder> StartModule(const DiscoveredDevice& self,
                                                    std::uint16_t udpPort) {
        std::string error;
        auto responder = DiscoveryResponder::Start(self, &error, udpPort);
        EXPECT_NE(responder, nullptr) << error;
        return responder;
    }

    // name -> index in the last search's results; a name seen twice fails the test.
    std::map<std::string, int> IndexByName(int count) {
        std::map<std::string, int> byName;
        for (int i = 0; i < count; ++i) {
            EXPECT_TRUE(byName.emplace(lib_.QBDM_GetDevName(i), i).second)
                << "twice: " << lib_.QBDM_GetDevName(i);
        }
        return byName;
    }

    void ExpectNothingAt(int index) {
        EXPECT_STREQ(lib_.QBDM_GetDevName(index), "") << index;
        EXPECT_STREQ(lib_.QBDM_GetIP(index), "") << index;
        for (auto* get : {lib_.QBDM_GetPort, lib_.QBDM_GetWorkMode, lib_.QBDM_GetAppProtocol,
                          lib_.QBDM_GetBaudrateIndex, lib_.QBDM_GetParity, lib_.QBDM_GetDataBits}) {
            EXPECT_EQ(get(index), 0) << index;
        }
    }

    static SearchLibrary lib_;
    const std::uint16_t udpPort_ = FreeUdpPort();
};

SearchLibrary SearchLibraryTest::lib_;

TEST_F(SearchLibraryTest, FindsEveryModuleOnceWithItsDescription) {
    const std::vector<DiscoveredDevice> modules = {
        Module("Boiler", 502, 3), Module("Gate", 4001, 7), Module("Well pump", 65000, 0)};
    std::vector<std::unique_ptr<DiscoveryResponder>> responders;
    for (const auto& m : modules) {
        responders.push_back(StartModule(m, udpPort_));
    }
    const auto started = std::chrono::steady_clock::now();
    const int count = lib_.QBDM_StartSearchDev();
    const auto took = std::chrono::steady_clock::now() - started;
    ASSERT_EQ(count, 3);
    EXPECT_GE(took, std::chrono::milliseconds(kSearchWindowMs));
    EXPECT_LT(took, std::chrono::milliseconds(kSearchWindowMs) + 3s);
    const auto byName = IndexByName(count);
    for (const auto& m : modules) {
        ASSERT_EQ(byName.count(m.name), 1u) << m.name;
        const int i = byName.at(m.name);
        EXPECT_STREQ(lib_.QBDM_GetIP(i), "127.0.0.1");
        EXPECT_EQ(ntohs(static_cast<std::uint16_t>(lib_.QBDM_GetPort(i))), m.port);
        EXPECT_EQ(lib_.QBDM_GetPort(i) & ~0xFFFF, 0);
        EXPECT_EQ(lib_.QBDM_GetWorkMode(i), m.workMode);
        EXPECT_EQ(lib_.QBDM_GetAppProtocol(i), m.appProtocol);
        EXPECT_EQ(lib_.QBDM_GetBaudrateIndex(i), m.baudIndex);
        EXPECT_EQ(lib_.QBDM_GetParity(i), m.parity);
        EXPECT_EQ(lib_.QBDM_GetDataBits(i), m.dataBits);
    }
    for (const int index : {-1, 3, 256, INT_MAX, INT_MIN}) {
        ExpectNothingAt(index);
    }
}

TEST_F(SearchLibraryTest, ResultsStayPutUntilTheNextSearch) {
    auto responders = std::vector<std::unique_ptr<DiscoveryResponder>>{};
    responders.push_back(StartModule(Module("Alpha", 1001, 1), udpPort_));
    responders.push_back(StartModule(Module("Beta", 1002, 2), udpPort_));
    const int count = lib_.QBDM_StartSearchDev();
    ASSERT_EQ(count, 2);
    std::vector<const char*> names, ips;
    std::vector<std::string> nameCopies, ipCopies;
    for (int i = 0; i < count; ++i) {
        names.push_back(lib_.QBDM_GetDevName(i));
        ips.push_back(lib_.QBDM_GetIP(i));
        nameCopies.emplace_back(names.back());
        ipCopies.emplace_back(ips.back());
    }
    responders.clear();  // modules gone; the last search's results must not change
    for (int i = 0; i < count; ++i) {
        EXPECT_EQ(lib_.QBDM_GetDevName(i), names[i]);
        EXPECT_EQ(lib_.QBDM_GetIP(i), ips[i]);
        EXPECT_EQ(nameCopies[i], names[i]);
        EXPECT_EQ(ipCopies[i], ips[i]);
    }
    EXPECT_EQ(lib_.QBDM_StartSearchDev(), 0);
    ExpectNothingAt(0);
}

TEST_F(SearchLibraryTest, BrokenAndForgedAnswersAreDropped) {
    auto withIp = [](DiscoveredDevice dev, const char* ip) {
        dev.ip = ip;
        return dev;
    };
    const FakeModule fake(udpPort_, [&](std::uint32_t id) {
        const Bytes sourceAddressed =
            EncodeSearchAnswer(id, withIp(Module("Src", 600, 1), "0.0.0.0"));
        Bytes lying = EncodeSearchAnswer(id, Module("Lie", 601, 1));
        lying[kAnswerFixedSize - 1] = 40;
        Bytes cut = EncodeSearchAnswer(id, Module("Cut", 602, 1));
        cut.pop_back();
        Bytes magic = EncodeSearchAnswer(id, Module("Magic", 603, 1));
        magic[0] = 'X';
        return std::vector<Bytes>{
            EncodeSearchAnswer(id + 1, Module("Stale", 604, 1)),
            lying,
            cut,
            magic,
            EncodeSearchRequest(id),
            sourceAddressed,
            sourceAddressed,  // the same module twice
            EncodeSearchAnswer(id, withIp(Module("Elsewhere", 600, 2), "127.0.0.9")),
        };
    });
    const int count = lib_.QBDM_StartSearchDev();
    ASSERT_EQ(count, 2);
    const auto byName = IndexByName(count);
    ASSERT_EQ(byName.count("Src"), 1u);
    ASSERT_EQ(byName.count("Elsewhere"), 1u);
    EXPECT_STREQ(lib_.QBDM_GetIP(byName.at("Src")), "127.0.0.1");
    EXPECT_STREQ(lib_.QBDM_GetIP(byName.at("Elsewhere")), "127.0.0.9");
}

TEST_F(SearchLibraryTest, KeepsAtMostTheBoundedNumberOfModules) {
    const FakeModule fake(udpPort_, [](std::uint32_t id) {
        std::vector<Bytes> answers;
        for (int i = 0; i < kMaxSearchResults + 40; ++i) {
            // Appended rather than "M" + to_string(i): GCC 12 at -O3 sees a bogus overlap
            // (-Wrestrict) in the insert at the front that form makes.
            std::string name = "M";
            name += std::to_string(i);
            answers.push_back(
                EncodeSearchAnswer(id, Module(name, static_cast<std::uint16_t>(1000 + i), 0)));
        }
        return answers;
    });
    EXPECT_EQ(lib_.QBDM_StartSearchDev(), kMaxSearchResults);
    ExpectNothingAt(kMaxSearchResults);
}

TEST_F(SearchLibraryTest, ModulesOnTheStandardPortAreFound) {
    unsetenv("KESTREL_DISCOVERY_PORT");
    const std::string name = "Standard " + std::to_string(udpPort_);
    const auto responder = StartModule(Module(name, 502, 1), kDiscoveryPort);
    const auto byName =
        IndexByName(lib_.QBDM_StartSearchDev());  // other modules may be running too
    EXPECT_EQ(byName.count(name), 1u);
}

TEST(SearchScope, OnlyLoopbackInAnyCaseAndBlanksOrUnsetNameAScope) {
    const struct {
        const char* value;
        std::optional<SearchScope> scope;
    } cases[] = {
        {nullptr, SearchScope::AllInterfaces},
        {"loopback", SearchScope::Loopback},
        {"Loopback", SearchScope::Loopback},
        {"LOOPBACK", SearchScope::Loopback},
        {"loopback ", SearchScope::Loopback},
        {" \tLoopBack\n", SearchScope::Loopback},
        {"", std::nullopt},
        {"  ", std::nullopt},
        {"loop back", std::nullopt},
        {"loopbak", std::nullopt},
        {"loopbackk", std::nullopt},
        {"lo", std::nullopt},
        {"all", std::nullopt},
        {"127.0.0.1", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ParseSearchScope(c.value), c.scope) << (c.value ? c.value : "(unset)");
    }
}

// Reads what the process writes to standard error while it lives.
class StderrCapture {
  public:
    StderrCapture() : file_(std::tmpfile()), saved_(dup(STDERR_FILENO)) {
        std::fflush(stderr);
        dup2(fileno(file_), STDERR_FILENO);
    }
    ~StderrCapture() { std::fclose(file_); }
    std::string Text() {
        std::fflush(stderr);
        dup2(saved_, STDERR_FILENO);
        close(saved_);
        std::string text;
        std::rewind(file_);
        for (int c = std::fgetc(file_); c != EOF; c = std::fgetc(file_)) {
            text += static_cast<char>(c);
        }
        return text;
    }

  private:
    std::FILE* file_;
    int saved_;
};

// Only values that end on loopback are searched with here: a near-miss of "loopback" and
// values naming no scope. The unknown ones are reported once, however many searches follow.
TEST_F(SearchLibraryTest, NearMissesAndUnknownScopesStillFindLoopbackModules) {
    const auto responder = StartModule(Module("Near", 700, 1), udpPort_);
    StderrCapture capture;
    for (const char* scope : {" LoopBack\t", "loopbak", ""}) {
        setenv("KESTREL_DISCOVERY_SCOPE", scope, 1);
        EXPECT_EQ(lib_.QBDM_StartSearchDev(), 1) << '"' << scope << '"';
    }
    setenv("KESTREL_DISCOVERY_SCOPE", "loopback", 1);
    const std::string text = capture.Text();
    EXPECT_EQ(text,
              "KESTREL_DISCOVERY_SCOPE=\"loopbak\" is not a known scope (\"loopback\", or unset "
              "for every interface); searching on loopback only\n");
}

}  // namespace
