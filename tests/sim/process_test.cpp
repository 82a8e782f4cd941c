// The real kestrel-sim process, spoken to over loopback sockets and its standard input.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <memory>
#include <vector>

#include "codec.h"
#include "discovery_protocol.h"
#include "module_model.h"
#include "sim_harness.h"

namespace {

using simtest::Client;
using simtest::Clock;
using simtest::SimProcess;
using std::chrono::milliseconds;

const std::vector<std::string> kQuiet{"--tcp", "127.0.0.1:0", "--no-discovery"};

std::vector<std::string> With(std::vector<std::string> extra) {
    std::vector<std::string> args = kQuiet;
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

std::vector<Byte> Mbap(std::uint16_t transaction, const sim::Message& body) {
    return EncodeMessage(body, Framing::ModbusTcp, transaction);
}

TEST(SimProcessTest, AnswersMbapAndEchoesTransactionIds) {
    SimProcess sim(With({"--di", "0011", "--ai", "100,200"}));
    ASSERT_TRUE(sim.Started()) << sim.Stderr();
    EXPECT_EQ(sim.ListeningLine(),
              "listening tcp 127.0.0.1:" + std::to_string(sim.Port()) + " framing=tcp");
    Client client(sim.Port());
    ASSERT_TRUE(client.Connected());
    client.Send(Mbap(0x0102, {1, 1, 0, 0, 0, 4}));
    EXPECT_EQ(client.Receive(10), (std::vector<Byte>{1, 2, 0, 0, 0, 4, 1, 1, 1, 0x0C}));
    client.Send(Mbap(0xA0A0, {0xFF, 4, 0, 0, 0, 2}));
    EXPECT_EQ(client.Receive(13),
              (std::vector<Byte>{0xA0, 0xA0, 0, 0, 0, 7, 0xFF, 4, 4, 0, 100, 0, 200}));
    client.Send(Mbap(7, {1, 5, 0, 0x11, 0xFF, 0}));
    EXPECT_EQ(client.Receive(12), Mbap(7, {1, 5, 0, 0x11, 0xFF, 0}));
    client.Send(Mbap(8, {1, 0x10, 0, 0, 0, 0}));
    EXPECT_EQ(client.Receive(9), Mbap(8, {1, 0x90, 1}));
    EXPECT_EQ(
        sim.Command("show"),
        "state relays=0100 di=0011 ai=100,200 params=01 00 02 07 16 00 00 00 00 00 address=1");
}

TEST(SimProcessTest, RtuFramingInsideTcpWithGarbageAndPieces) {
    SimProcess sim(With({"--framing", "rtu"}));
    ASSERT_TRUE(sim.Started());
    EXPECT_NE(sim.ListeningLine().find("framing=rtu"), std::string::npos);
    Client client(sim.Port());
    std::vector<Byte> request = BuildFrame({1, 3, 0x3F, 5}, Framing::ModbusRtu);
    request.insert(request.begin(), {0x42, 0x00});
    client.Send({request.begin(), request.begin() + 5});
    client.Send({request.begin() + 5, request.end()});
    const std::vector<Byte> reply = client.Receive(15);
    ASSERT_EQ(reply.size(), 15U);
    EXPECT_TRUE(CrcMatches(reply));
    EXPECT_EQ(std::vector<Byte>(reply.begin(), reply.begin() + 5),
              (std::vector<Byte>{1, 3, 10, 1, 0}));
}

TEST(SimProcessTest, DigitalInputUploadReachesEveryClient) {
    SimProcess sim(kQuiet);
    ASSERT_TRUE(sim.Started());
    Client first(sim.Port());
    Client second(sim.Port());
    first.Send(Mbap(1, {1, 6, 0, 0x40, 0x05, 0x07}));  // upload address 5
    EXPECT_EQ(first.Receive(12).size(), 12U);
    first.Send(Mbap(2, {1, 6, 0, 0x3F, 0x01, 0x01}));  // enable
    EXPECT_EQ(first.Receive(12).size(), 12U);
    EXPECT_EQ(sim.Command("di 4 1"), "ok");
    const std::vector<Byte> upload = Mbap(0, {5, 5, 0, 0x13, 0xFF, 0});
    EXPECT_EQ(first.Receive(12), upload);
    EXPECT_EQ(second.Receive(12), upload);
}

TEST(SimProcessTest, AnalogUploadsComeAtThePeriod) {
    SimProcess sim(With({"--ai", "1,2"}));
    ASSERT_TRUE(sim.Started());
    Client client(sim.Port());
    client.Send(Mbap(1, {1, 6, 0, 0x42, 0x00, 100}));  // AI1 every 100 ms
    EXPECT_EQ(client.Receive(12).size(), 12U);
    const auto start = Clock::now();
    const std::vector<Byte> upload = Mbap(0, {1, 4, 4, 0, 1, 0, 2});
    EXPECT_EQ(client.Receive(13), upload);
    EXPECT_EQ(client.Receive(13), upload);
    EXPECT_EQ(client.Receive(13), upload);
    const auto elapsed = Clock::now() - start;
    EXPECT_GE(elapsed, milliseconds(250));
    EXPECT_LT(elapsed, milliseconds(3000));
}

TEST(SimProcessTest, SplitRepliesArriveInPacedPieces) {
    SimProcess sim(With({"--split", "2:40"}));
    ASSERT_TRUE(sim.Started());
    Client client(sim.Port());
    const auto start = Clock::now();
    client.Send(Mbap(5, {1, 1, 0, 0, 0, 4}));  // 10-byte reply: five pieces, four pauses
    EXPECT_EQ(client.Receive(10), Mbap(5, {1, 1, 1, 0}));
    EXPECT_GE(Clock::now() - start, milliseconds(150));
}

TEST(SimProcessTest, SeveralSimulatorsRunSideBySide) {
    SimProcess a(With({"--address", "1"}));
    SimProcess b(With({"--address", "2"}));
    ASSERT_TRUE(a.Started() && b.Started());
    ASSERT_NE(a.Port(), b.Port());
    Client ca(a.Port());
    Client cb(b.Port());
    ca.Send(Mbap(1, {0xFF, 3, 0, 0x3F, 0, 1}));
    cb.Send(Mbap(1, {0xFF, 3, 0, 0x3F, 0, 1}));
    EXPECT_EQ(ca.Receive(11), Mbap(1, {0xFF, 3, 2, 1, 0}));
    EXPECT_EQ(cb.Receive(11), Mbap(1, {0xFF, 3, 2, 2, 0}));
}

TEST(SimProcessTest, ControlPortTakesTheSameCommandsAndQuits) {
    SimProcess sim(With({"--control", "0"}));
    ASSERT_TRUE(sim.Started());
    ASSERT_TRUE(sim.ControlPort().has_value()) << sim.ListeningLine();
    Client control(*sim.ControlPort());
    control.Send({'a', 'i', ' ', '2', ' ', '9', '\n', 's', 'h', 'o', 'w', '\n'});
    const std::string expected =
        "ok\nstate relays=0000 di=0000 ai=0,9 params=01 00 02 07 16 00 00 00 00 00 address=1\n";
    const auto got = control.Receive(expected.size());
    EXPECT_EQ(std::string(got.begin(), got.end()), expected);
    control.Send({'q', 'u', 'i', 't', '\n'});
    EXPECT_EQ(control.Receive(4), (std::vector<Byte>{'b', 'y', 'e', '\n'}));
    EXPECT_EQ(sim.WaitExit(), 0);
}

TEST(SimProcessTest, KeepsRunningAfterStdinEndsAndStopsOnSigterm) {
    SimProcess sim(kQuiet, {}, /*keepStdin=*/false);
    ASSERT_TRUE(sim.Started());
    Client client(sim.Port());
    client.Send(Mbap(1, {1, 1, 0, 0, 0, 4}));
    EXPECT_EQ(client.Receive(10).size(), 10U);
    EXPECT_FALSE(sim.WaitExit(milliseconds(100)).has_value());
    sim.Signal(SIGTERM);
    EXPECT_EQ(sim.WaitExit(), 0);
}

struct FaultCase {
    const char* option;
    const char* count;
    // What each of three identical requests (read DIs, transaction k) gets back.
    std::vector<std::vector<Byte>> replies;
};

TEST(SimProcessTest, MisbehaviourSwitches) {
    const std::vector<Byte> good1 = Mbap(1, {1, 1, 1, 0});
    const std::vector<Byte> good3 = Mbap(3, {1, 1, 1, 0});
    const FaultCase cases[] = {
        {"--drop-every", "2", {good1, {}, good3}},
        {"--exception-every", "2", {good1, Mbap(2, {1, 0x81, 4}), good3}},
        {"--garbage-every",
         "3",
         {good1, Mbap(2, {1, 1, 1, 0}), {0xA5, 0x5A, 0, 0, 3, 0, 0, 0, 4, 1, 1, 1, 0}}},
        {"--reply-unit",
         "9",
         {Mbap(1, {9, 1, 1, 0}), Mbap(2, {9, 1, 1, 0}), Mbap(3, {9, 1, 1, 0})}},
    };
    for (const auto& c : cases) {
        SimProcess sim(With({c.option, c.count}));
        ASSERT_TRUE(sim.Started());
        Client client(sim.Port());
        for (std::uint16_t k = 1; k <= 3; ++k) {
            client.Send(Mbap(k, {1, 1, 0, 0, 0, 4}));
            const auto& want = c.replies[k - 1U];
            const milliseconds patience = want.empty() ? milliseconds(300) : simtest::kPatience;
            EXPECT_EQ(client.Receive(want.empty() ? 1 : want.size(), patience), want)
                << c.option << " request " << k;
        }
    }
}

TEST(SimProcessTest, CloseAfterDisconnectsTheClient) {
    SimProcess sim(With({"--close-after", "1"}));
    ASSERT_TRUE(sim.Started());
    Client client(sim.Port());
    client.Send(Mbap(1, {1, 1, 0, 0, 0, 4}));
    EXPECT_EQ(client.Receive(10).size(), 10U);
    EXPECT_TRUE(client.ClosedByPeer());
}

TEST(SimProcessTest, HelpAndBadOptions) {
    const auto help = simtest::RunProgram({KESTREL_SIM_PATH, "--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.output.find("Usage: kestrel-sim"), std::string::npos);
    EXPECT_NE(help.output.find("--idle-timeout S"), std::string::npos);
    EXPECT_NE(help.output.find("At most 32 clients"), std::string::npos);
    const auto bad = simtest::RunProgram({KESTREL_SIM_PATH, "--baud", "300"});
    EXPECT_EQ(bad.exitCode, 2);
    EXPECT_NE(bad.output.find("--baud"), std::string::npos);
}

TEST(SimProcessTest, DelayHoldsEveryReplyBack) {
    SimProcess sim(With({"--delay-ms", "150"}));
    ASSERT_TRUE(sim.Started());
    Client client(sim.Port());
    for (std::uint16_t k = 1; k <= 2; ++k) {
        const auto start = Clock::now();
        client.Send(Mbap(k, {1, 1, 0, 0, 0, 4}));
        EXPECT_EQ(client.Receive(10), Mbap(k, {1, 1, 1, 0}));
        EXPECT_GE(Clock::now() - start, milliseconds(140));
    }
}

// A full house never locks a newcomer out: it takes the place of the client idle the longest,
// here one that asked first and has dribbled a single byte since. The control port likewise.
TEST(SimProcessTest, FullHouseMakesRoomByDroppingTheLongestIdleClient) {
    SimProcess sim(With({"--control", "0"}));
    ASSERT_TRUE(sim.Started());
    std::vector<std::unique_ptr<Client>> clients;
    for (std::uint16_t k = 0; k < 32; ++k) {
        clients.push_back(std::make_unique<Client>(sim.Port()));
        clients.back()->Send(Mbap(k, {1, 1, 0, 0, 0, 4}));
        ASSERT_EQ(clients.back()->Receive(10), Mbap(k, {1, 1, 1, 0})) << k;
    }
    clients[0]->Send({0});
    Client newcomer(sim.Port());
    newcomer.Send(Mbap(99, {1, 1, 0, 0, 0, 4}));
    EXPECT_EQ(newcomer.Receive(10), Mbap(99, {1, 1, 1, 0}));
    EXPECT_TRUE(clients[0]->ClosedByPeer());
    for (std::uint16_t k = 1; k < 32; ++k) {
        clients[k]->Send(Mbap(k, {1, 1, 0, 0, 0, 4}));
        EXPECT_EQ(clients[k]->Receive(10), Mbap(k, {1, 1, 1, 0})) << k;
    }
    std::vector<std::unique_ptr<Client>> controls;
    for (int k = 0; k < 33; ++k) {
        controls.push_back(std::make_unique<Client>(*sim.ControlPort()));
        controls.back()->Send({'s', 'h', 'o', 'w', '\n'});
        ASSERT_EQ(controls.back()->Receive(6), (std::vector<Byte>{'s', 't', 'a', 't', 'e', ' '}))
            << k;
    }
    EXPECT_TRUE(controls[0]->ClosedByPeer());
}

// Only complete requests keep a client: one that sends nothing, or a byte now and then, is
// dropped once the idle bound has passed since it connected.
TEST(SimProcessTest, ClientsWithoutRequestsForTheIdleBoundAreDropped) {
    SimProcess sim(With({"--idle-timeout", "1"}));
    ASSERT_TRUE(sim.Started());
    const auto start = Clock::now();
    Client idle(sim.Port());
    Client slow(sim.Port());
    Client busy(sim.Port());
    std::uint16_t transaction = 0;
    bool idleDropped = false;
    while (!idleDropped && Clock::now() - start < milliseconds(1000) + simtest::kPatience) {
        busy.Send(Mbap(++transaction, {1, 1, 0, 0, 0, 4}));
        ASSERT_EQ(busy.Receive(10).size(), 10U) << "an active client was dropped";
        slow.Send({0xFF});
        idleDropped = idle.ClosedByPeer(milliseconds(250));
    }
    EXPECT_TRUE(idleDropped);
    EXPECT_GE(Clock::now() - start, milliseconds(1000));
    EXPECT_TRUE(slow.ClosedByPeer());
    busy.Send(Mbap(++transaction, {1, 1, 0, 0, 0, 4}));
    EXPECT_EQ(busy.Receive(10).size(), 10U);
}

TEST(SimProcessTest, StopReadingLeavesRequestsUnanswered) {
    SimProcess sim(With({"--stop-reading"}));
    ASSERT_TRUE(sim.Started());
    Client client(sim.Port());
    ASSERT_TRUE(client.Connected());
    client.Send(Mbap(1, {1, 1, 0, 0, 0, 4}));
    EXPECT_TRUE(client.Receive(1, milliseconds(300)).empty());
    EXPECT_EQ(sim.Command("show").rfind("state ", 0), 0U);  // still alive
}

// A UDP port that was free a moment ago.
std::uint16_t FreeUdpPort() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    ::close(fd);
    return ntohs(sa.sin_port);
}

TEST(SimProcessTest, AnswersDiscoveryWithItsBindAddressAndPort) {
    const std::uint16_t udpPort = FreeUdpPort();
    SimProcess sim({"--tcp", "127.0.0.1:0", "--discovery-port", std::to_string(udpPort), "--name",
                    "Boiler room", "--framing", "rtu"});
    ASSERT_TRUE(sim.Started()) << sim.Stderr();
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(udpPort);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const auto request = EncodeSearchRequest(0x5EA5C4);
    ::sendto(fd, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    pollfd p{fd, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, static_cast<int>(simtest::kPatience.count())), 1);
    std::array<std::uint8_t, 512> answer{};
    const ssize_t n = ::recv(fd, answer.data(), answer.size(), 0);
    ::close(fd);
    ASSERT_GT(n, 0);
    const auto device = ParseSearchAnswer({answer.data(), static_cast<std::size_t>(n)}, 0x5EA5C4);
    ASSERT_TRUE(device.has_value());
    EXPECT_EQ(device->name, "Boiler room");
    EXPECT_EQ(device->ip, "127.0.0.1");
    EXPECT_EQ(device->port, sim.Port());
    EXPECT_EQ(device->appProtocol, 0);
}

}  // namespace
