// "Advanced" from end to end: the panel reads the simulator's block into the dialog, writes
// the operator's changes back, and the simulator reports what it now holds.
#include <QDir>
#include <QTemporaryDir>

#include "advanced_dlg.h"
#include "device_params.h"
#include "loopback_module.h"
#include "modal_driver.h"
#include "panel_fixture.h"
#include "sim_harness.h"

namespace {

using Block = simtest::ParamBlock;
using simtest::SimProcess;

// The environment entry that makes the simulator publish its COM port in `comDir`.
std::vector<std::string> ComDirEnv(const QTemporaryDir& comDir) {
    return {"KESTREL_COM_DIR=" + QFile::encodeName(comDir.path()).toStdString()};
}

// Shown fields in the order version, slave, enable, upload address, baud, AI1, AI2.
QStringList ShownFields(const CTemplateDialog& d) {
    QStringList shown;
    for (int id : {IDC_ADV_VERSION, IDC_ADV_SLAVE, IDC_ADV_UPLOAD_ENABLE, IDC_ADV_UPLOAD_ADDR,
                   IDC_ADV_BAUD, IDC_ADV_AI1_PERIOD, IDC_ADV_AI2_PERIOD}) {
        shown << FieldText(d, id);
    }
    return shown;
}

ModalStep ChangeSettings(QStringList& shown) {
    return [&shown](CTemplateDialog& d) {
        shown = ShownFields(d);
        Type(d, IDC_ADV_SLAVE, QStringLiteral("9"));
        Type(d, IDC_ADV_UPLOAD_ENABLE, QStringLiteral("1"));
        Type(d, IDC_ADV_UPLOAD_ADDR, QStringLiteral("4"));
        Type(d, IDC_ADV_AI1_PERIOD, QStringLiteral("1500"));
        Click(d, CAdvancedDlg::IDOK);
    };
}

class AdvancedWithSim : public PanelTest {
  protected:
    void SetUp() override {
        PanelTest::SetUp();
        g_DeviceParams = DeviceParams{};
    }

    // Asks the simulator until it reports `expected` (its writes may still be on their way).
    static bool SimReports(SimProcess& sim, const Block& expected) {
        return WaitFor([&] { return simtest::ShownParams(sim.Command("show")) == expected; }, 5000);
    }
};

TEST_F(AdvancedWithSim, NetworkModuleTakesTheNewSettings) {
    SimProcess sim({"--tcp", "127.0.0.1:0", "--no-discovery"});
    ASSERT_TRUE(sim.Started());
    ConnectTo(sim.Port());
    ASSERT_TRUE(WaitFor([] { return g_DeviceParams.bytes[4] == 0x16; }));
    ASSERT_TRUE(Button(IDC_ADVANCED)->isEnabled());

    QStringList shown;
    DriveNextModal({ChangeSettings(shown)});
    Button(IDC_ADVANCED)->click();
    EXPECT_EQ(shown, (QStringList{"V16", "1", "0", "2", "115200", "0", "0"}));
    const Block written = {9, 1, 4, 7, 0x16, 0, 0x05, 0xDC, 0, 0};
    EXPECT_TRUE(SimReports(sim, written));
    ASSERT_TRUE(WaitFor([this] { return Edit(IDC_ADDRESS)->text() == "9"; }));
    EXPECT_TRUE(WaitFor([&] { return g_DeviceParams.bytes == written; }));
    EXPECT_EQ(ShownAddress(*dlg), 9);
    EXPECT_TRUE(WaitFor(
        [this] { return ReportText(*dlg).startsWith("Parameters written to unit 1\r\n"); }));
    EXPECT_TRUE(recorder.messages.empty()) << recorder.Texts().join("|").toStdString();
}

// A module that answers only its own address is found by the three-register read: the two AI
// periods are read from it before "Advanced" is offered.
TEST_F(AdvancedWithSim, ASerialModuleFoundByTheShortReadIsReadWholeFirst) {
    QTemporaryDir comDir;
    qputenv("KESTREL_COM_DIR", QFile::encodeName(comDir.path()));
    SimProcess sim({"--serial", "COM7", "--baud", "1200", "--no-broadcast-unit"},
                   ComDirEnv(comDir));
    ASSERT_TRUE(sim.Started()) << sim.ListeningLine();
    dlg->Item<QComboBox>(IDC_COM)->setCurrentIndex(6);
    Button(IDC_SERIAL_OPEN)->click();
    ASSERT_TRUE(RunOperation(IDC_SERIAL_SEARCH));
    ASSERT_TRUE(ReportText(*dlg).startsWith("Found device!")) << ReportText(*dlg).toStdString();
    ASSERT_TRUE(WaitFor([this] { return Button(IDC_ADVANCED)->isEnabled(); }));
    EXPECT_EQ(simtest::ShownParams(sim.Command("show")), g_DeviceParams.bytes);
}

TEST_F(AdvancedWithSim, SerialModuleTakesTheNewSettingsAndThePortCloses) {
    QTemporaryDir comDir;
    ASSERT_TRUE(comDir.isValid());
    qputenv("KESTREL_COM_DIR", QFile::encodeName(comDir.path()));
    SimProcess sim({"--serial", "COM7", "--baud", "1200"}, ComDirEnv(comDir));
    ASSERT_TRUE(sim.Started()) << sim.ListeningLine();

    dlg->Item<QComboBox>(IDC_COM)->setCurrentIndex(6);
    Button(IDC_SERIAL_OPEN)->click();
    ASSERT_EQ(Button(IDC_SERIAL_OPEN)->text(), "Close");
    ASSERT_TRUE(RunOperation(IDC_SERIAL_SEARCH));
    ASSERT_TRUE(ReportText(*dlg).startsWith("Found device!")) << ReportText(*dlg).toStdString();
    ASSERT_TRUE(Button(IDC_ADVANCED)->isEnabled());

    QStringList shown;
    DriveNextModal({ChangeSettings(shown)});
    ASSERT_TRUE(RunOperation(IDC_ADVANCED));
    EXPECT_EQ(shown, (QStringList{"V16", "1", "0", "2", "1200", "0", "0"}));
    EXPECT_EQ(recorder.Texts(), QStringList{"Set complete!please reboot device!"});
    EXPECT_EQ(recorder.messages.at(0).icon, MessageIcon::None);
    EXPECT_EQ(Button(IDC_SERIAL_OPEN)->text(), "Open");
    EXPECT_FALSE(ComOpen(*dlg));
    EXPECT_FALSE(Button(IDC_ADVANCED)->isEnabled());
    EXPECT_EQ(g_DeviceParams.bytes, Block{});
    EXPECT_TRUE(SimReports(sim, {9, 1, 4, 0, 0x16, 0, 0x05, 0xDC, 0, 0}));
}

// The COM port hangs up while the dialog is open and the link falls back to TCP, where another
// module is connected: the serial module's block must not be written to that one.
TEST_F(AdvancedWithSim, AComPortLostWhileTheDialogIsOpenWritesNothingOnTcp) {
    LoopbackModule otherModule;
    ConnectTo(otherModule.Port());
    ASSERT_TRUE(otherModule.WaitBytes(24));
    QTemporaryDir comDir;
    qputenv("KESTREL_COM_DIR", QFile::encodeName(comDir.path()));
    auto sim = std::make_unique<SimProcess>(
        std::vector<std::string>{"--serial", "COM7", "--baud", "1200"}, ComDirEnv(comDir));
    ASSERT_TRUE(sim->Started());
    dlg->Item<QComboBox>(IDC_COM)->setCurrentIndex(6);
    Button(IDC_SERIAL_OPEN)->click();
    ASSERT_TRUE(RunOperation(IDC_SERIAL_SEARCH));
    ASSERT_TRUE(ReportText(*dlg).startsWith("Found device!"));

    DriveNextModal({[&](CTemplateDialog&) { sim.reset(); },
                    [&](CTemplateDialog& d) {
                        ASSERT_TRUE(WaitFor([this] { return !ComOpen(*dlg); }));
                        Click(d, CAdvancedDlg::IDOK);
                    }});
    Button(IDC_ADVANCED)->click();
    EXPECT_FALSE(otherModule.WaitBytes(25, 300)) << otherModule.Received().toHex(' ').data();
    EXPECT_TRUE(recorder.messages.empty()) << recorder.Texts().join("|").toStdString();
    EXPECT_TRUE(
        ReportText(*dlg).startsWith("The COM port was lost: the parameters were not written"))
        << ReportText(*dlg).toStdString();
    EXPECT_EQ(g_DeviceParams.bytes, Block{});  // forgotten with the port it was read on
}

}  // namespace
