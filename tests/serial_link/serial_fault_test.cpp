// The serial link as the operator meets a faulty line or module: noise, a line that will not
// drain, exception replies and damaged frames.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <random>

#include "serial_link_fixture.h"

namespace {

constexpr std::array<Byte, 10> kParams = {1, 0, 2, 3, 0x16, 0, 0, 0, 0, 0};

// Bytes that never make a good frame: stray bytes that start no known reply, mixed with
// whole-looking echoes whose CRC is wrong.
Bytes Noise() {
    std::mt19937 random(7);
    std::uniform_int_distribution<int> stray(0x10, 0x7F);
    Bytes noise;
    for (int n = 0; n < 64; ++n) {
        for (int k = 0; k < 13; ++k) {
            noise.push_back(static_cast<Byte>(stray(random)));
        }
        const Bytes bad = WithBadCrc(HexBytes("01 05 00 11 FF 00"));
        noise.insert(noise.end(), bad.begin(), bad.end());
    }
    return noise;
}

TEST_F(SerialLinkTest, SecondsOfNoiseChangeNothingAndTheNextGoodFrameIsTaken) {
    ConnectFake(kParams);
    fake->StartFlood(Noise());
    QElapsedTimer clock;
    clock.start();
    int turns = 0;
    while (clock.elapsed() < 1500) {  // the window keeps taking events all along
        QApplication::processEvents(QEventLoop::AllEvents, 10);
        ++turns;
    }
    fake->StopFlood();
    EXPECT_GT(turns, 20);
    EXPECT_GT(fake->BytesWritten(), 10000U);
    for (std::size_t n = 0; n < 4; ++n) {
        EXPECT_FALSE(dlg->IsChecked(RelayId(n)));
        EXPECT_FALSE(dlg->IsChecked(DiId(n)));
    }
    fake->Send(WithCrc(HexBytes("01 05 00 13 FF 00")));
    EXPECT_TRUE(WaitFor([this] { return dlg->IsChecked(RelayId(3)); }));
    EXPECT_TRUE(ComOpen(*dlg));
}

TEST_F(SerialLinkTest, AWriteThatCannotDrainGivesUpWithinItsBound) {
    ConnectFake(kParams);
    // Hold the line's output and fill it, as a stuck adapter does.
    const int line = ::open(fake->SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(line, 0);
    ASSERT_EQ(tcflow(line, TCOOFF), 0);
    const Bytes filler(4096, 0x00);
    while (::write(line, filler.data(), filler.size()) > 0) {
    }
    QElapsedTimer clock;
    clock.start();
    Button(IDC_RL1_ON)->click();
    const qint64 took = clock.elapsed();
    EXPECT_GE(took, 1200);  // 8 bytes: 100 ms each plus 500 ms
    EXPECT_LT(took, 6000);
    EXPECT_EQ(recorder.Texts(), QStringList{"Write com failed"});
    tcflow(line, TCOON);
    ::close(line);
    EXPECT_TRUE(ComOpen(*dlg));  // the window is back and the port still usable
}

// The simulator acts on every request but answers every second one with an exception and
// damages the CRC of every third reply: only a good echo checks its relay.
TEST_F(SerialLinkTest, ExceptionsAndDamagedRepliesCheckNoRelay) {
    StartSim(
        {"--baud", "9600", "--exception-every", "2", "--bad-crc-every", "3", "--ai", "512,512"});
    ASSERT_TRUE(sim->Started());
    OpenCom();
    Search();  // reply 1 finds the module
    ASSERT_TRUE(Found());
    for (int n = 0; n < 4; ++n) {
        Button(IDC_RL1_ON + 2 * n)->click();  // 2 refused, 3 damaged, 4 refused, 5 good
    }
    Button(IDC_QUERY_AI)->click();  // 6 refused and damaged
    Button(IDC_QUERY_AI)->click();  // 7 good, and the last on the line
    ASSERT_TRUE(WaitFor([this] { return Edit(IDC_AI1)->text() == "2.5"; }));
    EXPECT_FALSE(dlg->IsChecked(RelayId(0)));
    EXPECT_FALSE(dlg->IsChecked(RelayId(1)));
    EXPECT_FALSE(dlg->IsChecked(RelayId(2)));
    EXPECT_TRUE(dlg->IsChecked(RelayId(3)));
    const std::string state = sim->Command("show");
    EXPECT_NE(state.find("relays=1111"), std::string::npos) << state;
    // The operator is told of each refusal, and of the request whose reply came damaged.
    const QString damaged = QStringLiteral("No reply from unit 1 to RL3 Closed");
    ASSERT_TRUE(WaitFor([&] { return ReportText(*dlg).contains(damaged); }, 5000))
        << ReportText(*dlg).toStdString();
    for (const char* refusal : {"Unit 1 refused RL1 Closed: exception 4 (server device failure)",
                                "Unit 1 refused RL2 Closed: exception 4 (server device failure)"}) {
        EXPECT_EQ(ReportText(*dlg).count(QString::fromLatin1(refusal)), 1) << refusal;
    }
    EXPECT_FALSE(ReportText(*dlg).contains("to RL4 Closed"));  // its echo came whole
}

}  // namespace
