// The search for a module over the eight baud rates, against the simulator and against replies
// made up by the test.
#include "device_params.h"
#include "serial_link_fixture.h"

namespace {

using std::chrono::milliseconds;
using Params = std::array<Byte, 10>;

constexpr std::uint32_t kRates[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
constexpr int kReadWaitsMs[] = {825, 264, 165, 132, 99, 99, 66, 66};  // 33 * m per attempt

// What two attempts at each step before `step` cost at the least.
milliseconds SilentStepsBefore(int step) {
    int sum = 0;
    for (int n = 0; n < step; ++n) sum += 2 * kReadWaitsMs[n];
    return milliseconds(sum);
}

// The block after a reply of `count` bytes: opening the port cleared it, the reply wrote the
// first `count`.
Params FirstBytesOf(const Params& params, std::size_t count) {
    Params expected{};
    std::copy_n(params.begin(), count, expected.begin());
    return expected;
}

TEST_F(SerialLinkTest, FindsTheSimulatorAt9600WithTheFirstAttemptOfItsStep) {
    auto& module = StartSim({"--baud", "9600", "--address", "9"});
    ASSERT_TRUE(module.Started());
    const Params simParams = SimParams();
    OpenCom();
    const milliseconds took = Search();

    EXPECT_TRUE(Found()) << ReportText(*dlg).toStdString();
    EXPECT_EQ(dlg->Item<QComboBox>(IDC_BAUD)->currentText(), "9600");
    EXPECT_EQ(g_DeviceParams.bytes, simParams);  // all ten: the five-register read answered
    EXPECT_EQ(Edit(IDC_ADDRESS)->text(), SimAddress());
    EXPECT_EQ(Edit(IDC_ADDRESS)->text(), "9");
    EXPECT_TRUE(Button(IDC_ADVANCED)->isEnabled());
    EXPECT_GE(took, SilentStepsBefore(3));  // 1200, 2400 and 4800 went unanswered
    EXPECT_TRUE(recorder.messages.empty());
}

TEST_F(SerialLinkTest, AModuleDeafToUnitFFIsFoundByItsAddressWithSixBytes) {
    auto& module = StartSim({"--baud", "2400", "--no-broadcast-unit", "--address", "1"});
    ASSERT_TRUE(module.Started());
    const Params simParams = SimParams();
    OpenCom();
    const milliseconds took = Search();

    ASSERT_TRUE(Found()) << ReportText(*dlg).toStdString();
    EXPECT_EQ(dlg->Item<QComboBox>(IDC_BAUD)->currentIndex(), 1);
    EXPECT_EQ(g_DeviceParams.bytes, FirstBytesOf(simParams, 6));
    EXPECT_EQ(Edit(IDC_ADDRESS)->text(), "1");
    EXPECT_GE(took, SilentStepsBefore(1) + milliseconds(kReadWaitsMs[1]));
}

// ---- replies made up by the test ----------------------------------------------------------------

const Bytes kThreeRegisters = ParamReply(0x21, {0x21, 0x01, 0x02, 0x00, 0x16, 0x00});

// The port is not purged before the search: a reply to a request made before it is read first,
// and passed over for the parameter reply behind it.
TEST_F(SerialLinkTest, RepliesLeftFromBeforeTheSearchArePassedOver) {
    PlugFake().SetResponder([](const FakeModule::Request& request) {
        if (request.bytes[1] == 0x01) return WithCrc(HexBytes("01 01 01 05"));
        if (IsFiveRegisterRead(request.bytes)) {
            return ParamReply(0xFF, {0x31, 0x01, 0x02, 0x00, 0x16, 0x00, 0, 0, 0, 0});
        }
        return kThreeRegisters;
    });
    OpenCom();
    Button(IDC_QUERY_DI)->click();
    ASSERT_TRUE(WaitFor([this] { return fake->BytesWritten() == 6; }));
    Search();

    ASSERT_TRUE(Found());
    EXPECT_EQ(fake->Requests().size(), 2U);
    EXPECT_EQ(g_DeviceParams.bytes, (Params{0x31, 0x01, 0x02, 0x00, 0x16, 0x00, 0, 0, 0, 0}));
    EXPECT_EQ(ShownAddress(*dlg), 0x31);
    EXPECT_FALSE(dlg->IsChecked(DiId(0)));  // the search does not decode what it reads
}

// What a line without a module brings: nothing, or noise shaped like a parameter reply.
class NoModule : public SerialLinkTest, public ::testing::WithParamInterface<Bytes> {};

TEST_P(NoModule, ClearsTheBlockLeavesTheRestAsItWasAndThePortAt115200) {
    PlugFake().SetResponder([noise = GetParam()](const FakeModule::Request&) { return noise; });
    OpenCom();
    TakeAddress(*dlg, 5);
    dlg->Dlg().UpdateData(false);
    const QString report = ReportText(*dlg);
    const milliseconds took = Search();

    ASSERT_EQ(recorder.messages.size(), 1U);
    EXPECT_EQ(recorder.messages[0].text, "Found no device!");
    EXPECT_EQ(recorder.messages[0].icon, MessageIcon::None);
    EXPECT_GE(took, SilentStepsBefore(8));  // 3432 ms of read waits
    EXPECT_EQ(ReportText(*dlg), report);
    EXPECT_EQ(dlg->Item<QComboBox>(IDC_BAUD)->currentIndex(), 0);
    EXPECT_EQ(Edit(IDC_ADDRESS)->text(), "5");
    EXPECT_FALSE(Button(IDC_ADVANCED)->isEnabled());
    EXPECT_EQ(g_DeviceParams.bytes, Params{});
    EXPECT_TRUE(ComOpen(*dlg));
    EXPECT_EQ(fake->LineBaud(), 115200U);

    // Two attempts per rate, slowest first: five registers from unit 0xFF, then three from ours.
    const auto requests = fake->Requests();
    ASSERT_EQ(requests.size(), 16U);
    for (std::size_t n = 0; n < requests.size(); ++n) {
        EXPECT_EQ(requests[n].baud, kRates[n / 2]) << "attempt " << n;
        const Bytes expected =
            n % 2 == 0 ? HexBytes("FF 03 003F 0005 A01B") : WithCrc(HexBytes("05 03 003F 0003"));
        EXPECT_EQ(requests[n].bytes, expected) << "attempt " << n;
    }

    // No reader was started: a reply now stays unread and changes nothing.
    fake->Send(WithCrc(HexBytes("05 01 01 0F")));
    EXPECT_FALSE(WaitFor([this] { return dlg->IsChecked(DiId(0)); }, 300));
}

INSTANTIATE_TEST_SUITE_P(
    Search, NoModule,
    ::testing::Values(Bytes{}, WithBadCrc(HexBytes("AA 03 0A 00 00 00 00 00 00 00 00 00 00"))),
    [](const auto& caseInfo) { return std::string(caseInfo.param.empty() ? "Silent" : "Noise"); });

// The module found before no longer answers: its block goes, and the port is still read.
TEST_F(SerialLinkTest, ASearchThatFindsNothingAfterAFindKeepsReadingThePort) {
    ConnectFake({0x31, 0x01, 0x02, 0x03, 0x16, 0x00, 0, 0, 0, 0});
    ASSERT_TRUE(Button(IDC_ADVANCED)->isEnabled());
    fake->SetResponder({});
    Search();

    EXPECT_EQ(recorder.Texts(), QStringList{"Found no device!"});
    EXPECT_EQ(g_DeviceParams.bytes, Params{});
    EXPECT_FALSE(Button(IDC_ADVANCED)->isEnabled());
    EXPECT_TRUE(ComOpen(*dlg));
    EXPECT_EQ(fake->LineBaud(), 115200U);
    fake->Send(WithCrc(HexBytes("31 05 0013 FF00")));
    EXPECT_TRUE(WaitFor([this] { return dlg->IsChecked(RelayId(3)); }));
}

// The adapter is pulled out while the search waits for a reply.
TEST_F(SerialLinkTest, AHangUpEndsTheSearchAndClosesThePort) {
    PlugFake();
    OpenCom();
    std::thread unplug([this] {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (fake->Requests().empty() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(milliseconds(1));
        }
        fake->Unplug();
    });
    const milliseconds took = Search();
    unplug.join();

    EXPECT_TRUE(recorder.messages.empty()) << recorder.Texts().join('|').toStdString();
    EXPECT_EQ(
        FirstReportLine(),
        QStringLiteral("COM7 was lost (%1 hung up or failed); the port is closed").arg(ComPath()));
    EXPECT_EQ(ReportText(*dlg).count(QStringLiteral("\r\n")), 1);
    EXPECT_FALSE(ComOpen(*dlg));
    EXPECT_EQ(Button(IDC_SERIAL_OPEN)->text(), "Open");
    EXPECT_FALSE(Button(IDC_SERIAL_SEARCH)->isEnabled());
    EXPECT_FALSE(Button(IDC_ADVANCED)->isEnabled());
    EXPECT_EQ(NetworkLink(*dlg), 1);
    EXPECT_LT(took, SilentStepsBefore(8));  // the remaining steps were not tried
}

// ---- the window during the search ---------------------------------------------------------------

// The search of a silent line runs ~3.4 s: all the while the window's timers fire, it repaints,
// and its status line names the rate being tried; its buttons are held and come back as they were.
TEST_F(SerialLinkTest, TheWindowAnswersAndSaysWhichRateItTriesWhileSearching) {
    PlugFake();
    OpenCom();
    ASSERT_FALSE(Button(IDC_ADVANCED)->isEnabled());
    OperationWatch watch(*dlg);
    Button(IDC_SERIAL_SEARCH)->click();
    EXPECT_TRUE(dlg->Dlg().OperationRunning());
    EXPECT_FALSE(Button(IDC_SERIAL_OPEN)->isEnabled());
    EXPECT_FALSE(Button(IDC_RL1_ON)->isEnabled());
    EXPECT_FALSE(Button(IDC_CONNECT)->isEnabled());
    ASSERT_TRUE(WaitFor([this] { return !dlg->Dlg().OperationRunning(); }, 30000));

    EXPECT_EQ(recorder.Texts(), QStringList{"Found no device!"});
    EXPECT_GT(watch.ticks, 20);
    EXPECT_GT(watch.paints, 0);
    QStringList rates;
    for (const std::uint32_t baud : kRates) {
        rates << QStringLiteral("Searching COM7 at %1 baud...").arg(baud);
    }
    ASSERT_TRUE(watch.statuses.contains(rates[0])) << watch.statuses.join('|').toStdString();
    // Every text seen is one of the rates, in the order they are tried.
    qsizetype next = 0;
    for (const QString& status : watch.statuses.mid(watch.statuses.indexOf(rates[0]))) {
        const qsizetype at = rates.indexOf(status, next);
        EXPECT_GE(at, next) << status.toStdString();
        next = at + 1;
    }
    EXPECT_TRUE(dlg->Text(IDC_STATUS).empty());
    EXPECT_TRUE(Button(IDC_SERIAL_OPEN)->isEnabled());
    EXPECT_TRUE(Button(IDC_SERIAL_SEARCH)->isEnabled());
    EXPECT_TRUE(Button(IDC_RL1_ON)->isEnabled());
    EXPECT_FALSE(Button(IDC_ADVANCED)->isEnabled());  // disabled before, disabled after
}

// Closing the window mid-search ends the search at once: the read under way is cut short, nothing
// more is written, the port is closed and the search's thread is gone.
TEST_F(SerialLinkTest, ClosingTheWindowEndsTheSearchPromptly) {
    PlugFake();
    OpenCom();
    const int threadsBefore = ThreadCount();
    Button(IDC_SERIAL_SEARCH)->click();
    // At 1200 baud each read waits 825 ms.
    ASSERT_TRUE(WaitFor([this] { return fake->Requests().size() == 1; }));
    const auto start = std::chrono::steady_clock::now();
    dlg->close();
    const auto took = std::chrono::steady_clock::now() - start;

    EXPECT_LT(took, milliseconds(600));  // not the rest of the read
    EXPECT_FALSE(AnyComPortOpen());
    EXPECT_FALSE(dlg->Dlg().OperationRunning());
    EXPECT_LE(ThreadCount(), threadsBefore);
    EXPECT_FALSE(WaitFor([this] { return fake->Requests().size() > 1; }, 300));
    EXPECT_TRUE(recorder.messages.empty());
}

}  // namespace
