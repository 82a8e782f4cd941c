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
    ASSERT_TRUE(WaitFor([this] { return dlg->m_pRelay[0]->isChecked(); }));
    const QStringList lines = TraceLines(capture.Lines());
    const QStringList expected = {
        "TCP tx 00 01 00 00 00 06 FF 03 00 3F 00 03",
        "TCP tx 00 01 00 00 00 06 FF 03 00 3F 00 05",
        "TCP tx 00 01 00 00 00 06 01 05 00 10 FF 00",
        "TCP drop A5 5A 00",
        "TCP rx 01 05 00 10 FF 00",
    };
    ASSERT_EQ(lines.size(), expected.size()) << lines.join('\n').toStdString();
    double previous = 0;
    for (int n = 0; n < lines.size(); ++n) {
        const double stamp = lines[n].section(' ', 0, 0).toDouble();
        EXPECT_GE(stamp, previous);  // monotonic
        previous = stamp;
        EXPECT_EQ(lines[n].section(' ', 1), expected[n]);
    }
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
