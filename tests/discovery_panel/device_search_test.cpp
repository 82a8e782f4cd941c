// The device search on its own, against the scripted stand-in library: the rows and the verdicts
// on each module's settings, with no window.
#include "device_search.h"

#include <gtest/gtest.h>

#include "standin.h"

namespace {

constexpr const char* kStandinName = "KestrelStandin";

StandinModule Sound(const char* name, const char* ip, quint16 port = 4196) {
    return {name, ip, NetworkOrder(port), 0, 1, 11, 0, 0};
}

QStringList Texts(const DeviceSearch::Row& row) {
    QStringList texts;
    for (const std::string& text : row) {
        texts << QString::fromStdString(text);
    }
    return texts;
}

class DeviceSearchObject : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(standin.Loaded());
        ASSERT_TRUE(search.Load(kStandinName));
        standin.ResetCalls();
    }

    static inline const Standin standin{kStandinName};
    DeviceSearch search;
};

// ---- verdicts -----------------------------------------------------------------------------------

struct VerdictCase {
    const char* what;
    int workMode, appProtocol, baudIndex, parity, dataBits;
    std::optional<Framing> chosen;
    const char* workVerdict;
    const char* protocolVerdict;
    const char* uartVerdict;
    QStringList uartCalls;  // the serial-setting getters asked, in order
};

void PrintTo(const VerdictCase& c, std::ostream* out) {
    *out << c.what;
}

constexpr auto kTcp = Framing::ModbusTcp;
constexpr auto kRtu = Framing::ModbusRtu;
const QStringList kBaudOnly = {"GetBaudrateIndex"};
const QStringList kBaudParity = {"GetBaudrateIndex", "GetParity"};
const QStringList kAllThree = {"GetBaudrateIndex", "GetParity", "GetDataBits"};

const VerdictCase kVerdicts[] = {
    {"AllRight", 0, 1, 11, 0, 0, kTcp, "TCP Server", "MODBUS TCP", "Correct!", kAllThree},
    {"TcpModuleRtuChosen", 0, 1, 11, 0, 0, kRtu, "TCP Server", "Protocol Error!", "Correct!",
     kAllThree},
    {"RtuModuleRtuChosen", 0, 0, 11, 0, 0, kRtu, "TCP Server", "MODBUS RTU!", "Correct!",
     kAllThree},
    {"RtuModuleTcpChosen", 0, 0, 11, 0, 0, kTcp, "TCP Server", "Protocol Error!", "Correct!",
     kAllThree},
    {"TcpModuleNothingChosen", 0, 1, 11, 0, 0, std::nullopt, "TCP Server", "Protocol Error!",
     "Correct!", kAllThree},
    {"RtuModuleNothingChosen", 0, 0, 11, 0, 0, std::nullopt, "TCP Server", "Protocol Error!",
     "Correct!", kAllThree},
    {"UnknownProtocolCode", 0, 2, 11, 0, 0, kTcp, "TCP Server", "Protocol Error!", "Correct!",
     kAllThree},
    {"WorkMode5", 5, 1, 11, 0, 0, kTcp, "WorkMode Error!", "MODBUS TCP", "Correct!", kAllThree},
    {"WorkModeHighBitsIgnored", 0x100, 1, 11, 0, 0, kTcp, "TCP Server", "MODBUS TCP", "Correct!",
     kAllThree},
    {"OtherBaud", 0, 1, 10, 0, 0, kTcp, "TCP Server", "MODBUS TCP", "Error!", kBaudOnly},
    {"Parity1", 0, 1, 11, 1, 0, kTcp, "TCP Server", "MODBUS TCP", "Error!", kBaudParity},
    {"DataBits1", 0, 1, 11, 0, 1, kTcp, "TCP Server", "MODBUS TCP", "Error!", kAllThree},
};

class Verdicts : public DeviceSearchObject, public ::testing::WithParamInterface<VerdictCase> {};

TEST_P(Verdicts, RowCarriesTheVerdicts) {
    const VerdictCase& c = GetParam();
    const StandinModule bystander = Sound("OK", "127.0.0.30");
    const StandinModule judged = {"M",           "127.0.0.31", NetworkOrder(502), c.workMode,
                                  c.appProtocol, c.baudIndex,  c.parity,          c.dataBits};
    standin.Script({bystander, judged});
    const auto rows = search.Search(c.chosen);
    ASSERT_EQ(rows.size(), 2U);
    EXPECT_EQ(Texts(rows[1]).mid(3),
              QStringList({c.workVerdict, c.protocolVerdict, c.uartVerdict}));
    QStringList asked;
    for (const QString& call : standin.Calls()) {
        const QStringList parts = call.split(' ');
        if (parts.value(1) == "1" && kAllThree.contains(parts[0])) {
            asked << parts[0];
        }
    }
    EXPECT_EQ(asked, c.uartCalls);
}

INSTANTIATE_TEST_SUITE_P(Table, Verdicts, ::testing::ValuesIn(kVerdicts),
                         [](const auto& row) { return std::string(row.param.what); });

// ---- rows and addresses -------------------------------------------------------------------------

// The address of a row is asked of the library when it is wanted, its port in host order.
TEST_F(DeviceSearchObject, ARowsAddressIsItsModulesWithTheHostOrderPort) {
    standin.Script({Sound("ALPHA", "127.0.0.21", 4196), Sound("BRAVO", "127.0.0.22", 502)});
    ASSERT_EQ(search.Search(kTcp).size(), 2U);
    const auto address = search.RowAddress(1);
    ASSERT_TRUE(address.has_value());
    EXPECT_EQ(address->host, "127.0.0.22");
    EXPECT_EQ(address->port, 502);
}

TEST(DeviceSearchWithoutLibrary, FindsNothingAndGivesNoAddress) {
    DeviceSearch search;
    EXPECT_FALSE(search.Load("KestrelStandinMissing"));
    EXPECT_TRUE(search.Search(Framing::ModbusTcp).empty());
    EXPECT_FALSE(search.RowAddress(0).has_value());
}

}  // namespace
