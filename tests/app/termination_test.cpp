// SIGTERM and SIGINT end the real panel executable promptly and in order, whatever is open over
// its window: a message box, the About box, the Advanced dialog, a menu, or a serial search
// that is still reading. A small driver loaded into the panel (panel_driver.cpp) opens them.
#include <dlfcn.h>
#include <signal.h>

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>

#include "codec.h"
#include "panel_fixture.h"
#include "pty_fixture.h"
#include "sim_harness.h"

namespace {

constexpr int kGenerousMs = 5000;  // the program ends within a second; the machine is shared

// The sanitizer runtimes of an instrumented build must come first among preloaded libraries.
QString Preload() {
    QStringList libraries;
    for (const char* symbol : {"__asan_init", "__tsan_init"}) {
        Dl_info info{};
        void* address = dlsym(RTLD_DEFAULT, symbol);
        if (address != nullptr && dladdr(address, &info) != 0 && info.dli_fname != nullptr &&
            QString::fromUtf8(info.dli_fname).contains(".so")) {
            libraries << QString::fromUtf8(info.dli_fname);
        }
    }
    return (libraries << KESTREL_PANEL_DRIVER).join(':');
}

// The panel with the driver, its standard error collected.
class DrivenPanel {
  public:
    explicit DrivenPanel(const QStringList& steps) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("KESTREL_TRACE", "1");
        env.insert("KESTREL_DISCOVERY_SCOPE", "loopback");
        env.insert("LD_PRELOAD", Preload());
        env.insert("KESTREL_TEST_DRIVE", steps.join(';'));
        // ThreadSanitizer holds a program that ends with a thread still running (the network
        // search it left) for a second by default; the time measured here is the program's own.
        const QString tsan = env.value("TSAN_OPTIONS");
        env.insert("TSAN_OPTIONS", (tsan.isEmpty() ? "" : tsan + ':') + "atexit_sleep_ms=0");
        m_process.setProcessEnvironment(env);
        m_process.start(KESTREL_EXE, {});
    }
    ~DrivenPanel() {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(kGenerousMs);
        }
    }
    bool WaitForLine(const QString& text) {
        return WaitFor([&] { return Log().contains(text); }, 20000);
    }
    // Sends the signal and returns how long the program took to end, or -1.
    qint64 SignalAndWait(int signo) {
        QElapsedTimer clock;
        clock.start();
        kill(static_cast<pid_t>(m_process.processId()), signo);
        if (!m_process.waitForFinished(kGenerousMs)) {
            return -1;
        }
        return clock.elapsed();
    }
    void ExpectOrderlyEnd() {
        EXPECT_EQ(m_process.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(m_process.exitCode(), 0);
        EXPECT_TRUE(Log().contains("panel window closed")) << Log().toStdString();
    }
    QString Log() {
        m_log += QString::fromUtf8(m_process.readAllStandardError());
        return m_log;
    }

  private:
    QProcess m_process;
    QString m_log;
};

struct OpenCase {
    const char* what;
    QStringList steps;
    QString openLine;
    int signo;
};

TEST(PanelTermination, EndsInOrderWhateverIsOpen) {
    simtest::SimProcess sim({"--tcp", "127.0.0.1:0", "--no-discovery"});
    ASSERT_TRUE(sim.Started()) << sim.Stderr();
    const QString port = QString::number(sim.Port());
    const QStringList advanced = {"type 1000 127.0.0.1", "type 1001 " + port, "click 1",
                                  "wait-enabled 1035", "click 1035"};
    const OpenCase cases[] = {
        {"window only", {}, "panel window shown: Quillon", SIGTERM},
        {"menu", {"menu"}, "drive: open menu", SIGINT},
        {"About box", {"menu", "pick"}, QString::fromUtf8("drive: open 关于 Kestrel"), SIGTERM},
        {"Advanced dialog", advanced, "drive: open Advanced", SIGINT},
        {"box over the Advanced dialog", advanced + QStringList{"type 1036 1", "click 1"},
         QString::fromUtf8("drive: open kestrel: 设备地址与上报地址不能一致!"), SIGTERM},
    };
    for (const OpenCase& c : cases) {
        SCOPED_TRACE(c.what);
        DrivenPanel panel(c.steps);
        ASSERT_TRUE(panel.WaitForLine(c.openLine)) << panel.Log().toStdString();
        const qint64 took = panel.SignalAndWait(c.signo);
        EXPECT_GE(took, 0) << "still running " << kGenerousMs << " ms after the signal";
        panel.ExpectOrderlyEnd();
    }
}

// The long operations, with the pseudo-terminal as COM7.
class PanelOperationTermination : public PtyFixture {
  protected:
    // A frame the line does not take (output held) waited out the write's bound, 1.3 s for eight
    // bytes: the search's request on its thread, and the paced write's on the window's. The signal
    // ends the write at once, and no "Write com failed" box follows. The line is held once the
    // panel has reached `holdAt`; the signal goes once a frame is sent after `writeAfter`.
    void SignalDuringAHeldWrite(const QStringList& steps, const QString& holdAt,
                                const QString& writeAfter) {
        const QString com = "COM" + QString::number(kPort);
        DrivenPanel panel(steps);
        if (holdAt.endsWith("1035")) {  // the module answers the search at 1200 baud
            ASSERT_TRUE(panel.WaitForLine(com + " tx")) << panel.Log().toStdString();
            std::vector<Byte> reply = {0xFF, 0x03, 0x0A, 0x01, 0x00, 0x02, 0x07,
                                       0x16, 0x00, 0x00, 0x00, 0x00, 0x00};
            AppendCrc(reply);
            WriteToMaster(reply);
        }
        ASSERT_TRUE(panel.WaitForLine(holdAt)) << panel.Log().toStdString();
        if (!HoldTowardMaster()) GTEST_SKIP() << "a second opener of the slave is refused";
        QFile(QString::fromStdString(ComDir()) + "/held").open(QIODevice::WriteOnly);
        ASSERT_TRUE(WaitFor(
            [&] {
                const QString log = panel.Log();
                const qsizetype after = log.indexOf(writeAfter);
                return after >= 0 && log.indexOf(com + " tx", after) >= 0;
            },
            20000))
            << panel.Log().toStdString();
        const qint64 took = panel.SignalAndWait(SIGTERM);
        EXPECT_GE(took, 0) << "still running " << kGenerousMs << " ms after the signal";
        EXPECT_LT(took, 1000);
        panel.ExpectOrderlyEnd();
        EXPECT_FALSE(panel.Log().contains("Write com failed")) << panel.Log().toStdString();
    }
};

// The search reads at each of the eight rates twice, ~3.4 s in all, on a line where nothing
// answers, and then says "Found no device!". A signal during the search ends it after the read
// under way, without the box; a signal while the box is open closes it.
TEST_F(PanelOperationTermination, SignalEndsTheSerialSearchAndItsBox) {
    const QString com = "COM" + QString::number(kPort);
    const QString box = "drive: open kestrel: Found no device!";
    for (const QString& signalAt : {com + " tx", box}) {
        SCOPED_TRACE(signalAt.toStdString());
        DrivenPanel panel({"choose 1041 " + com, "click 1042", "click 1038"});
        ASSERT_TRUE(panel.WaitForLine(signalAt)) << panel.Log().toStdString();
        const qint64 took = panel.SignalAndWait(signalAt == box ? SIGINT : SIGTERM);
        EXPECT_GE(took, 0) << "still running " << kGenerousMs << " ms after the signal";
        panel.ExpectOrderlyEnd();
        if (signalAt != box) {
            const QString log = panel.Log();
            EXPECT_LT(log.count(" tx "), 16) << "the search ran to its end";
            EXPECT_FALSE(log.contains(box)) << log.toStdString();
        }
    }
}

TEST_F(PanelOperationTermination, SignalEndsASearchWriteTheLineDoesNotTake) {
    const QString held = QString::fromStdString(ComDir()) + "/held";
    SignalDuringAHeldWrite(
        {"choose 1041 COM7", "click 1042", "wait-enabled 1038", "wait-path " + held, "click 1038"},
        "drive: wait-enabled 1038", "drive: wait-path");
}

TEST_F(PanelOperationTermination, SignalEndsAPacedWriteTheLineDoesNotTake) {
    const QString held = QString::fromStdString(ComDir()) + "/held";
    SignalDuringAHeldWrite({"choose 1041 COM7", "click 1042", "click 1038", "wait-enabled 1035",
                            "wait-path " + held, "click 1035", "click 1"},
                           "drive: wait-enabled 1035", "drive: click 1\n");
}

// Each long operation is cut short at close rather than waited for: the network search's
// one-second window, the serial search's read, the paced write's pauses. The program ends
// well within a second of the signal; the searches run with the COM port and the TCP link open.
TEST_F(PanelOperationTermination, SignalEndsEachLongOperationPromptly) {
    constexpr qint64 kPromptMs = 1000;
    simtest::SimProcess sim({"--tcp", "127.0.0.1:0", "--no-discovery"});
    ASSERT_TRUE(sim.Started()) << sim.Stderr();
    const QString com = "COM" + QString::number(kPort);
    const QStringList tcp = {"type 1000 127.0.0.1", "type 1001 " + QString::number(sim.Port()),
                             "click 1", "wait-enabled 1035"};
    const QStringList both = tcp + QStringList{"choose 1041 " + com, "click 1042"};
    const QString held = "drive: wait-disabled 1026";
    const struct {
        const char* what;
        QStringList steps;
        QString underWay;
    } operations[] = {
        {"network search", both + QStringList{"click 1026", "wait-disabled 1026"}, held},
        {"serial search", both + QStringList{"click 1038"}, com + " search at"},
        {"paced write", tcp + QStringList{"click 1035", "click 1", "wait-disabled 1026"}, held},
    };
    for (const auto& operation : operations) {
        for (const int signo : {SIGTERM, SIGINT}) {
            SCOPED_TRACE(std::string(operation.what) + (signo == SIGTERM ? " SIGTERM" : " SIGINT"));
            DrivenPanel panel(operation.steps);
            ASSERT_TRUE(panel.WaitForLine(operation.underWay)) << panel.Log().toStdString();
            const qint64 took = panel.SignalAndWait(signo);
            EXPECT_GE(took, 0) << "still running " << kGenerousMs << " ms after the signal";
            EXPECT_LT(took, kPromptMs);
            panel.ExpectOrderlyEnd();
        }
    }
}

}  // namespace
