// The TCP link on each shell's loop and connections, against real sockets on loopback: attempts
// and their outcomes, the parameter read, framing of the reply stream, and how the module ended
// the connection.
#include "tcp_link.h"

#include <gtest/gtest.h>

#include "../modbus/hex.h"
#include "link_shell.h"
#include "loopback_peer.h"
#include "virtual_clock.h"

namespace {

using Frames = std::vector<std::vector<Byte>>;
using Lines = std::vector<std::string>;
using std::chrono::milliseconds;

// What a link told, for links on any loop.
struct Told {
    TcpLink::Handlers Handlers() {
        return {
            [this](const std::string& line) { reports.push_back(line); },
            [this](int code) {
                outcomes.push_back(code);
                if (onConnected) onConnected(code);
            },
            [this](std::span<const Byte> frame) {
                frames.emplace_back(frame.begin(), frame.end());
            },
            [this](const std::string& reason) { endings.push_back(reason); },
            [this] { ++paramReadsEnded; },
        };
    }
    Lines reports;
    std::vector<int> outcomes;
    Frames frames;
    Lines endings;
    int paramReadsEnded = 0;
    std::function<void(int)> onConnected;
};

}  // namespace

void PrintTo(const ShellMaker& shell, std::ostream* out) {
    *out << shell.name;
}

namespace {

std::string PortText(std::uint32_t port) {
    return std::to_string(port);
}

class TcpLinkOnShell : public ::testing::TestWithParam<ShellMaker> {
  protected:
    TcpLinkOnShell() {
        told.onConnected = [this](int code) {
            if (code == 0) {
                link.SetFraming(framing);
                link.ReadParams();
            }
        };
    }

    bool Run(const std::function<bool()>& done, milliseconds within = milliseconds(5000)) {
        return shell->RunUntil(done, within);
    }
    // Connects to the peer in the given framing and takes the parameter reads.
    void ConnectModule(Framing chosen = Framing::ModbusTcp) {
        framing = chosen;
        ASSERT_TRUE(link.Connect("127.0.0.1", peer.Port()));
        ASSERT_TRUE(Run([this] { return !told.outcomes.empty(); }));
        ASSERT_EQ(told.outcomes.front(), 0);
        ASSERT_TRUE(Run([this] {
            return peer.Received().size() >= (framing == Framing::ModbusTcp ? 24U : 16U);
        }));
        peer.ClearReceived();
    }
    void Reply(const char* hex) { peer.Send(Hex(hex)); }
    bool FramesReach(std::size_t count) {
        return Run([this, count] { return told.frames.size() >= count; });
    }
    bool FailedWith(const std::string& line) {
        return Run([this] { return !told.outcomes.empty(); }) && told.outcomes.front() != 0 &&
               !told.reports.empty() && told.reports.back() == line;
    }

    std::unique_ptr<LinkShell> shell = GetParam().make();
    LoopbackPeer peer;
    Told told;
    TcpLink link{shell->Loop(), shell->Tcp(), told.Handlers()};
    Framing framing = Framing::ModbusTcp;
};

TEST_P(TcpLinkOnShell, ReportsTheAttemptAndTheConnection) {
    ConnectModule();
    EXPECT_EQ(told.reports,
              (Lines{"TCP client connectting 127.0.0.1:" + PortText(peer.Port()) + "...",
                     "TCP Client Connected to 127.0.0.1 : " + PortText(peer.Port())}));
    EXPECT_TRUE(link.Ready());
    EXPECT_EQ(link.LinkFraming(), Framing::ModbusTcp);
}

TEST_P(TcpLinkOnShell, RtuParameterReadsGoOut200msApart) {
    framing = Framing::ModbusRtu;
    ASSERT_TRUE(link.Connect("127.0.0.1", peer.Port()));
    ASSERT_TRUE(Run([this] { return peer.Received().size() >= 16; }));
    EXPECT_EQ(peer.Received(), Hex("FF03003F00032019 FF03003F0005A01B"));
    const auto arrivals = peer.Arrivals();
    ASSERT_EQ(arrivals.size(), 2U);
    EXPECT_GE(arrivals[1].at - arrivals[0].at, milliseconds(195));
    EXPECT_EQ(link.Socket()->RtuFraming(), 1);
    EXPECT_EQ(told.paramReadsEnded, 1);
}

// Replies the stream delivers together, in pieces, or behind garbage are all taken.
TEST_P(TcpLinkOnShell, StreamFramingTakesEveryWholeFrame) {
    ConnectModule();
    // Both parameter replies in one write: the second (all ten bytes) is not lost.
    Reply(
        "0001 0000 0009 05 03 06 05 01 02 07 06 00"
        "0001 0000 000D 05 03 0A 05 01 02 07 06 00 03 E8 00 00");
    ASSERT_TRUE(FramesReach(2));
    // One reply split across writes with a pause.
    Reply("0001 0000 00");
    Run([] { return false; }, milliseconds(50));
    Reply("07 01 04 04 0400 0200");
    ASSERT_TRUE(FramesReach(3));
    // Garbage, then a valid frame.
    Reply("FF FF 12 34 00 01 00 07 01 05 00 10 FF 00");  // protocol id 7: not a header
    Reply("0001 0000 0006 05 05 0010 FF00");
    ASSERT_TRUE(FramesReach(4));
    EXPECT_EQ(told.frames, (Frames{Hex("05 03 06 05 01 02 07 06 00"),
                                   Hex("05 03 0A 05 01 02 07 06 00 03 E8 00 00"),
                                   Hex("01 04 04 0400 0200"), Hex("05 05 0010 FF00")}));
}

TEST_P(TcpLinkOnShell, RtuFramesInTheStreamAreCutByTheirFunctionAndHeldToTheirCrc) {
    ConnectModule(Framing::ModbusRtu);
    Reply("01 05 0011 FF00 DC3F 01 01 01 0A D18F");  // echo and DI reply in one write
    ASSERT_TRUE(FramesReach(2));
    Reply("01 84 02 C2 C1");                 // an exception reply is a frame too
    Reply("01 01 01 00 0000");               // a wrong CRC: dropped
    Reply("A5 5A 00 01 05 0010 FF00 8DFF");  // stray bytes, then an echo behind them
    Reply("01 04 04 00 00 04 00 F944");
    ASSERT_TRUE(FramesReach(5));
    EXPECT_EQ(told.frames,
              (Frames{Hex("01 05 0011 FF00 DC3F"), Hex("01 01 01 0A D18F"), Hex("01 84 02 C2 C1"),
                      Hex("01 05 0010 FF00 8DFF"), Hex("01 04 04 00 00 04 00 F944")}));
}

TEST_P(TcpLinkOnShell, AGarbageFloodKeepsMemoryBoundedAndTheNextFrameIsTaken) {
    ConnectModule();
    const std::vector<Byte> garbage(64 * 1024, 0x7F);
    for (int n = 0; n < 64; ++n) {  // 4 MiB
        peer.Send(garbage);
        Run([] { return false; }, milliseconds(1));
        EXPECT_LE(link.Socket()->BufferedBytes(), 300U);
    }
    Reply("0001 0000 0006 01 05 0013 FF00");
    ASSERT_TRUE(FramesReach(1));
    EXPECT_EQ(told.frames.back(), Hex("01 05 0013 FF00"));
}

TEST_P(TcpLinkOnShell, AFailedAttemptSaysWhyAndKeepsItsSocket) {
    std::uint16_t port = 0;
    {
        LoopbackPeer gone;
        port = gone.Port();
    }  // nothing listens there now: refused
    ASSERT_TRUE(link.Connect("127.0.0.1", port));
    EXPECT_TRUE(
        FailedWith("TCP connect to 127.0.0.1:" + PortText(port) + " failed: Connection refused"));
    EXPECT_TRUE(link.Ready());  // until the owner drops it
    EXPECT_FALSE(link.Send(Hex("01050010FF008DFF")));
}

TEST_P(TcpLinkOnShell, APortAbove65535FailsInsteadOfConnectingElsewhere) {
    const std::uint32_t port = 65536U + peer.Port();
    ASSERT_TRUE(link.Connect("127.0.0.1", port));
    EXPECT_TRUE(FailedWith("TCP connect to 127.0.0.1:" + PortText(port) + " failed: port " +
                           PortText(port) + " is out of range"));
    EXPECT_FALSE(peer.WaitConnected(milliseconds(300)));
}

TEST_P(TcpLinkOnShell, HostNamesAndIpv6AddressesAreTaken) {
    ASSERT_TRUE(link.Connect("localhost", peer.Port()));
    EXPECT_TRUE(Run([this] { return peer.WaitConnected(milliseconds(0)); }));
    LoopbackPeer peer6(true);
    ASSERT_TRUE(link.Connect("::1", peer6.Port()));
    EXPECT_TRUE(Run([&peer6] { return peer6.WaitConnected(milliseconds(0)); }));
}

// The attempt is dropped in the pass of the loop that made it: its failure, already on its way,
// belongs to a socket that is gone, and must reach nobody.
TEST_P(TcpLinkOnShell, ADroppedAttemptsFailureReachesNobody) {
    ASSERT_TRUE(link.Connect("127.0.0.1", 70000));
    link.Disconnect();
    EXPECT_FALSE(link.Ready());
    Run([] { return false; }, milliseconds(50));
    EXPECT_TRUE(told.outcomes.empty());
    EXPECT_EQ(told.reports.size(), 1U);  // the attempt, and nothing after it
}

TEST_P(TcpLinkOnShell, SaysWhetherTheModuleClosedOrResetTheConnection) {
    for (const bool reset : {false, true}) {
        SCOPED_TRACE(reset);
        LoopbackPeer module;
        told.endings.clear();
        ASSERT_TRUE(link.Connect("127.0.0.1", module.Port()));
        // Read: closing with unread bytes would reset.
        ASSERT_TRUE(Run([&module] { return module.Received().size() >= 24; }));
        reset ? module.Reset() : module.Close();
        ASSERT_TRUE(Run([this] { return !told.endings.empty(); }));
        EXPECT_EQ(told.endings, Lines{reset ? "The module reset the connection"
                                            : "The module closed the connection"});
        link.Disconnect();
    }
}

// The time-out is kept on the loop's time: a clock that stands still never gives up, and one
// that reaches the fifth second does, whatever the platform's own retries.
TEST_P(TcpLinkOnShell, AnAttemptNobodyAnswersGivesUpAfterFiveSeconds) {
    const SilentListener silent;
    VirtualClock clock;
    Told onClock;
    TcpLink timed(clock, shell->Tcp(), onClock.Handlers());
    ASSERT_TRUE(timed.Connect("127.0.0.1", silent.port));
    clock.Advance(milliseconds(4999));
    EXPECT_TRUE(onClock.outcomes.empty());
    clock.Advance(milliseconds(1));
    ASSERT_EQ(onClock.outcomes, std::vector<int>{1});
    EXPECT_EQ(onClock.reports.back(),
              "TCP connect to 127.0.0.1:" + PortText(silent.port) + " failed: timed out after 5 s");
}

INSTANTIATE_TEST_SUITE_P(Shells, TcpLinkOnShell, ::testing::ValuesIn(Shells()),
                         [](const auto& shellInfo) { return shellInfo.param.name; });

}  // namespace
