// The traffic trace: with KESTREL_TRACE set, every frame sent, received and dropped goes to
// standard error as one line with a monotonic time, the link, the direction and the bytes.
#include "trace.h"

#include <unistd.h>

#include <QRegularExpression>
#include <QTemporaryFile>
#include <cstdio>
#include <cstdlib>

#include "loopback_module.h"
#include "panel_fixture.h"
#include "serial_link_fixture.h"

namespace {

// Sends standard error to a file for as long as it lives.
class StderrCapture {
  public:
    StderrCapture() {
        m_file.open();
        std::fflush(stderr);
        m_saved = dup(STDERR_FILENO);
        dup2(m_file.handle(), STDERR_FILENO);
    }
    ~StderrCapture() { Restore(); }
    QStringList Lines() {
        Restore();
        m_file.seek(0);
        return QString::fromUtf8(m_file.readAll()).split('\n', Qt::SkipEmptyParts);
    }

  private:
    void Restore() {
        if (m_saved >= 0) {
            std::fflush(stderr);
            dup2(m_saved, STDERR_FILENO);
            close(m_saved);
            m_saved = -1;
        }
    }
    QTemporaryFile m_file;
    int m_saved = -1;
};

QStringList TraceLines(const QStringList& lines) {
    return lines.filter(QRegularExpression(QStringLiteral("^\\d+\\.\\d{6} (TCP|COM\\d+) ")));
}

QString HexText(const Bytes& bytes) {
    return QByteArray(reinterpret_cast<const char*>(bytes.data()),
                      static_cast<qsizetype>(bytes.size()))
        .toHex(' ')
        .toUpper();
}

// The trace lines after their time stamp, each checked to come no earlier than the one before.
QStringList Untimed(const QStringList& lines) {
    QStringList texts;
    double previous = 0;
    for (const QString& line : lines) {
        const double stamp = line.section(' ', 0, 0).toDouble();
        EXPECT_GE(stamp, previous) << line.toStdString();  // monotonic
        previous = stamp;
        texts << line.section(' ', 1);
    }
    return texts;
}

using Trace = PanelTest;

TEST_F(Trace, EveryFrameSentReceivedAndDroppedIsOneLine) {
    setenv("KESTREL_TRACE", "1", 1);  // read once, at the first frame
    LoopbackModule module;
    StderrCapture capture;
    ConnectTo(module.Port());
    ASSERT_TRUE(module.WaitBytes(24));
    Button(IDC_RL1_ON)->click();
    ASSERT_TRUE(module.WaitBytes(36));
    module.Send(Hex("A5 5A 00 0001 0000 0006 01 05 0010 FF00"));
    ASSERT_TRUE(WaitFor([this] { return dlg->IsChecked(RelayId(0)); }));
    const QStringList lines = TraceLines(capture.Lines());
    const QStringList expected = {
        "TCP connected to 127.0.0.1:" + QString::number(module.Port()),
        "TCP tx 00 01 00 00 00 06 FF 03 00 3F 00 03",
        "TCP tx 00 01 00 00 00 06 FF 03 00 3F 00 05",
        "TCP tx 00 01 00 00 00 06 01 05 00 10 FF 00",
        "TCP drop A5 5A 00",
        "TCP rx 00 01 00 00 00 06 01 05 00 10 FF 00",
    };
    EXPECT_EQ(Untimed(lines), expected) << lines.join('\n').toStdString();
}

using SerialTrace = SerialLinkTest;

// The search says at which rate each request goes out and traces what each read brings: a
// damaged reply as dropped bytes, the module's reply as a frame received.
TEST_F(SerialTrace, TheSearchTracesItsRateAndWhatItReads) {
    setenv("KESTREL_TRACE", "1", 1);
    const Bytes kDamaged = WithBadCrc(HexBytes("AA 03 0A 00 00 00 00 00 00 00 00 00 00"));
    const Bytes kReply = ParamReply(0x01, {1, 0, 2, 3, 0x16, 0});
    const Bytes kWhole = ParamReply(0x01, {1, 0, 2, 3, 0x16, 0, 0, 0, 0, 0});
    PlugFake().SetResponder([kDamaged, kReply, kWhole](const FakeModule::Request& request) {
        if (IsFiveRegisterRead(request.bytes)) {
            return request.bytes[0] == 0xFF ? kDamaged : kWhole;  // the search's, then the rest
        }
        if (IsThreeRegisterRead(request.bytes)) return kReply;
        return request.bytes;  // the echo of a relay command
    });
    TakeAddress(*dlg, 1);
    OpenCom();
    StderrCapture capture;
    Search();
    ASSERT_TRUE(Found());
    ASSERT_TRUE(WaitFor([this] { return Button(IDC_ADVANCED)->isEnabled(); }));
    Button(IDC_RL1_ON)->click();
    ASSERT_TRUE(WaitFor([this] { return dlg->IsChecked(RelayId(0)); }));

    const QStringList expected = {
        "COM7 search at 1200 baud",
        "COM7 tx FF 03 00 3F 00 05 A0 1B",
        "COM7 drop " + HexText(kDamaged),
        "COM7 search at 1200 baud",
        "COM7 tx " + HexText(WithCrc(HexBytes("01 03 003F 0003"))),
        "COM7 rx " + HexText(kReply),
        "COM7 tx " + HexText(WithCrc(HexBytes("01 03 003F 0005"))),
        "COM7 rx " + HexText(kWhole),
        "COM7 tx 01 05 00 10 FF 00 8D FF",
        "COM7 rx 01 05 00 10 FF 00 8D FF",
    };
    const QStringList lines = TraceLines(capture.Lines());
    EXPECT_EQ(Untimed(lines), expected) << lines.join('\n').toStdString();
}

TEST(TraceSwitch, OnlyAValueOtherThanAnOffWordSwitchesItOn) {
    const struct {
        const char* value;
        bool on;
    } cases[] = {
        {nullptr, false}, {"", false},    {"  ", false},      {"0", false},     {"no", false},
        {"NO", false},    {"off", false}, {"Off", false},     {" off ", false}, {"false", false},
        {"FALSE", false}, {"1", true},    {"yes", true},      {"on", true},     {"true", true},
        {"2", true},      {"offf", true}, {"anything", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(TraceSwitchedOnBy(c.value), c.on) << (c.value ? c.value : "(unset)");
    }
}

}  // namespace
