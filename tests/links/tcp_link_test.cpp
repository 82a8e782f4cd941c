// The TCP link on its own, against real sockets on loopback: attempts and their outcomes, the
// parameter read, framing of the reply stream, and how the module ended the connection.
#include "tcp_link.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QTcpServer>
#include <QTest>
#include <QThread>

#include "loopback_module.h"
#include "modbus_socket.h"
#include "timed_sink.h"
#include "wait_for.h"

namespace {

using Frames = std::vector<QByteArray>;

class TcpLinkObject : public ::testing::Test {
  protected:
    TcpLinkObject() {
        QObject::connect(&link, &TcpLink::Report, [this](const QString& line) { reports << line; });
        QObject::connect(&link, &TcpLink::Connected, [this](int code) {
            outcomes.push_back(code);
            if (code == 0) {
                link.SetFraming(framing);
                link.ReadParams();
            }
        });
        QObject::connect(&link, &TcpLink::FrameReceived, [this](std::span<const Byte> frame) {
            frames.emplace_back(reinterpret_cast<const char*>(frame.data()),
                                static_cast<qsizetype>(frame.size()));
        });
        QObject::connect(&link, &TcpLink::PeerClosed,
                         [this](const QString& reason) { endings << reason; });
    }

    // Connects to the loopback module in the given framing and takes the parameter reads.
    void ConnectModule(Framing chosen = Framing::ModbusTcp) {
        framing = chosen;
        ASSERT_TRUE(link.Connect(QStringLiteral("127.0.0.1"), module.Port()));
        ASSERT_TRUE(WaitFor([this] { return !outcomes.empty(); }));
        ASSERT_EQ(outcomes.front(), 0);
        ASSERT_TRUE(module.WaitBytes(chosen == Framing::ModbusTcp ? 24 : 16));
        module.ClearReceived();
    }
    void Reply(const char* hex) { module.Send(Hex(hex)); }
    bool FramesReach(std::size_t count) {
        return WaitFor([this, count] { return frames.size() >= count; }, 3000);
    }
    bool FailedWith(const QString& start) {
        return WaitFor([this] { return !outcomes.empty(); }, 20000) && outcomes.front() != 0 &&
               !reports.isEmpty() && reports.last().startsWith(start);
    }

    LoopbackModule module;
    TcpLink link;
    Framing framing = Framing::ModbusTcp;
    QStringList reports;
    std::vector<int> outcomes;
    Frames frames;
    QStringList endings;
};

TEST_F(TcpLinkObject, ReportsTheAttemptAndTheConnection) {
    ConnectModule();
    EXPECT_EQ(reports,
              (QStringList{
                  QStringLiteral("TCP client connectting 127.0.0.1:%1...").arg(module.Port()),
                  QStringLiteral("TCP Client Connected to 127.0.0.1 : %1").arg(module.Port()),
              }));
    EXPECT_TRUE(link.Ready());
    EXPECT_EQ(link.LinkFraming(), Framing::ModbusTcp);
}

TEST_F(TcpLinkObject, RtuParameterReadsGoOut200msApart) {
    TimedSink sink;
    framing = Framing::ModbusRtu;
    ASSERT_TRUE(link.Connect(QStringLiteral("127.0.0.1"), sink.Port()));
    ASSERT_TRUE(WaitFor([&sink] { return sink.ByteCount() >= 16; }));
    const auto arrivals = sink.Arrivals();
    ASSERT_EQ(arrivals.size(), 2U);
    EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(arrivals[0].bytes.data()), 8),
              Hex("FF03003F00032019"));
    EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(arrivals[1].bytes.data()), 8),
              Hex("FF03003F0005A01B"));
    EXPECT_GE(arrivals[1].at - arrivals[0].at, std::chrono::milliseconds(195));
    EXPECT_EQ(link.Socket()->RtuFraming(), 1);
    EXPECT_EQ(link.LinkFraming(), Framing::ModbusRtu);
}

// Replies the stream delivers together, in pieces, or behind garbage are all taken.
TEST_F(TcpLinkObject, StreamFramingTakesEveryWholeFrame) {
    ConnectModule();
    // Both parameter replies in one write: the second (all ten bytes) is not lost.
    Reply(
        "0001 0000 0009 05 03 06 05 01 02 07 06 00"
        "0001 0000 000D 05 03 0A 05 01 02 07 06 00 03 E8 00 00");
    ASSERT_TRUE(FramesReach(2));
    // One reply split across writes with a pause.
    Reply("0001 0000 00");
    QThread::msleep(50);
    QApplication::processEvents();
    Reply("07 01 04 04 0400 0200");
    ASSERT_TRUE(FramesReach(3));
    // Garbage, then a valid frame.
    Reply("FF FF 12 34 00 01 00 07 01 05 00 10 FF 00");  // protocol id 7: not a header
    Reply("0001 0000 0006 05 05 0010 FF00");
    ASSERT_TRUE(FramesReach(4));
    EXPECT_EQ(frames, (Frames{Hex("05 03 06 05 01 02 07 06 00"),
                              Hex("05 03 0A 05 01 02 07 06 00 03 E8 00 00"),
                              Hex("01 04 04 0400 0200"), Hex("05 05 0010 FF00")}));
}

TEST_F(TcpLinkObject, RtuFramesInTheStreamAreCutByTheirFunctionAndHeldToTheirCrc) {
    ConnectModule(Framing::ModbusRtu);
    Reply("01 05 0011 FF00 DC3F 01 01 01 0A D18F");  // echo and DI reply in one write
    ASSERT_TRUE(FramesReach(2));
    Reply("01 84 02 C2 C1");                 // an exception reply is a frame too
    Reply("01 01 01 00 0000");               // a wrong CRC: dropped
    Reply("A5 5A 00 01 05 0010 FF00 8DFF");  // stray bytes, then an echo behind them
    Reply("01 04 04 00 00 04 00 F944");
    ASSERT_TRUE(FramesReach(5));
    EXPECT_EQ(frames,
              (Frames{Hex("01 05 0011 FF00 DC3F"), Hex("01 01 01 0A D18F"), Hex("01 84 02 C2 C1"),
                      Hex("01 05 0010 FF00 8DFF"), Hex("01 04 04 00 00 04 00 F944")}));
}

TEST_F(TcpLinkObject, AGarbageFloodKeepsMemoryBoundedAndTheNextFrameIsTaken) {
    ConnectModule();
    QByteArray garbage(64 * 1024, '\x7F');
    for (int n = 0; n < 64; ++n) {  // 4 MiB
        module.Send(garbage);
        QApplication::processEvents();
        EXPECT_LE(link.Socket()->BufferedBytes(), 300U);
    }
    Reply("0001 0000 0006 01 05 0013 FF00");
    ASSERT_TRUE(FramesReach(1));
    EXPECT_EQ(frames.back(), Hex("01 05 0013 FF00"));
}

TEST_F(TcpLinkObject, AFailedAttemptSaysWhyAndKeepsItsSocket) {
    QTcpServer closed;
    ASSERT_TRUE(closed.listen(QHostAddress::LocalHost));
    const quint16 port = closed.serverPort();
    closed.close();  // nothing listens there now: refused
    ASSERT_TRUE(link.Connect(QStringLiteral("127.0.0.1"), port));
    EXPECT_TRUE(FailedWith(QStringLiteral("TCP connect to 127.0.0.1:%1 failed: ").arg(port)));
    EXPECT_TRUE(link.Ready());  // until the owner drops it
    const QByteArray request = Hex("01050010FF008DFF");
    EXPECT_FALSE(link.Send(
        {reinterpret_cast<const Byte*>(request.data()), static_cast<std::size_t>(request.size())}));
}

TEST_F(TcpLinkObject, APortAbove65535FailsInsteadOfConnectingElsewhere) {
    ASSERT_TRUE(link.Connect(QStringLiteral("127.0.0.1"), 65536U + module.Port()));
    EXPECT_TRUE(
        FailedWith(QStringLiteral("TCP connect to 127.0.0.1:%1 failed: port %1 is out of range")
                       .arg(65536U + module.Port())));
    EXPECT_FALSE(module.WaitConnected(300));
}

TEST_F(TcpLinkObject, HostNamesAreResolved) {
    ASSERT_TRUE(link.Connect(QStringLiteral("localhost"), module.Port()));
    EXPECT_TRUE(module.WaitConnected());
}

// A listener whose accept queue is full drops further connection requests, as a module behind a
// silent firewall would.
TEST_F(TcpLinkObject, AnAttemptNobodyAnswersGivesUpAfterFiveSeconds) {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), size), 0);
    ASSERT_EQ(listen(listener, 0), 0);
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size);
    const quint16 port = ntohs(address.sin_port);
    QTcpSocket filler;
    filler.connectToHost(QHostAddress::LocalHost, port);
    ASSERT_TRUE(filler.waitForConnected(2000));
    QElapsedTimer clock;
    clock.start();
    ASSERT_TRUE(link.Connect(QStringLiteral("127.0.0.1"), port));
    EXPECT_TRUE(FailedWith(
        QStringLiteral("TCP connect to 127.0.0.1:%1 failed: timed out after 5 s").arg(port)));
    EXPECT_GE(clock.elapsed(), 4900);
    close(listener);
}

// The attempt is dropped in the pass of the event loop that made it: its queued failure belongs
// to a socket that is gone, and must reach nobody.
TEST_F(TcpLinkObject, ADroppedAttemptsQueuedFailureReachesNobody) {
    ASSERT_TRUE(link.Connect(QStringLiteral("127.0.0.1"), 70000));
    link.Disconnect();
    EXPECT_FALSE(link.Ready());
    QTest::qWait(50);
    EXPECT_TRUE(outcomes.empty());
    EXPECT_EQ(reports.size(), 1);  // the attempt, and nothing after it
}

struct EndingCase {
    bool reset;
    const char* reason;
};

TEST_F(TcpLinkObject, SaysWhetherTheModuleClosedOrResetTheConnection) {
    for (const EndingCase c : {EndingCase{false, "The module closed the connection"},
                               EndingCase{true, "The module reset the connection"}}) {
        SCOPED_TRACE(c.reason);
        LoopbackModule peer;
        endings.clear();
        ASSERT_TRUE(link.Connect(QStringLiteral("127.0.0.1"), peer.Port()));
        ASSERT_TRUE(peer.WaitBytes(24));  // read: closing with unread bytes would reset
        if (c.reset) {
            peer.ResetClient();
        } else {
            peer.CloseClient();
        }
        ASSERT_TRUE(WaitFor([this] { return !endings.isEmpty(); }));
        EXPECT_EQ(endings, QStringList{QString::fromLatin1(c.reason)});
        link.Disconnect();
    }
}

}  // namespace
