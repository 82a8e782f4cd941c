// Independent Modbus masters agree with the simulator: mbpoll (libmodbus) and pymodbus.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "sim_harness.h"

namespace {

using simtest::RunProgram;
using simtest::SimProcess;

constexpr const char* kMbpoll = "/usr/bin/mbpoll";
constexpr const char* kPython = "/usr/bin/python3";

bool Have(const char* program) {
    return std::filesystem::exists(program);
}

// One-shot mbpoll against 127.0.0.1:port; extra options and values follow.
simtest::CommandResult Mbpoll(std::uint16_t port, std::vector<std::string> options) {
    std::vector<std::string> argv{kMbpoll, "-m", "tcp", "-p", std::to_string(port),
                                  "-1",    "-o", "2"};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.insert(argv.begin() + 8, "127.0.0.1");  // host goes after the options
    return RunProgram(argv);
}

struct MbpollCase {
    std::vector<std::string> options;  // mbpoll counts references from 1
    std::vector<std::string> lines;    // lines its output must contain
};

TEST(PeerTest, MbpollReadsAndWritesOverModbusTcp) {
    if (!Have(kMbpoll)) GTEST_SKIP() << "mbpoll not installed";
    SimProcess sim({"--tcp", "127.0.0.1:0", "--no-discovery", "--di", "1001", "--ai", "512,1023"});
    ASSERT_TRUE(sim.Started());
    const MbpollCase cases[] = {
        {{"-a", "1", "-t", "0", "-r", "1", "-c", "4"}, {"[1]: \t1", "[2]: \t0", "[4]: \t1"}},
        {{"-a", "1", "-t", "3", "-r", "1", "-c", "2"}, {"[1]: \t512", "[2]: \t1023"}},
        {{"-a", "255", "-t", "4:hex", "-r", "64", "-c", "5"}, {"[64]: \t0x0100", "[66]: \t0x1600"}},
        {{"-a", "1", "-t", "0", "-r", "18", "1"}, {"Written 1 references"}},
        {{"-a", "1", "-t", "4", "-r", "67", "250"}, {"Written 1 references"}},
    };
    for (const auto& c : cases) {
        const auto result = Mbpoll(sim.Port(), c.options);
        EXPECT_EQ(result.exitCode, 0) << result.output;
        for (const auto& line : c.lines) {
            EXPECT_NE(result.output.find(line), std::string::npos) << line << "\n" << result.output;
        }
    }
    EXPECT_EQ(
        sim.Command("show"),
        "state relays=0100 di=1001 ai=512,1023 params=01 00 02 07 16 00 00 FA 00 00 address=1");
}

TEST(PeerTest, MbpollSeesTheExceptionForTheVersionRegister) {
    if (!Have(kMbpoll)) GTEST_SKIP() << "mbpoll not installed";
    SimProcess sim({"--tcp", "127.0.0.1:0", "--no-discovery"});
    ASSERT_TRUE(sim.Started());
    const auto result = Mbpoll(sim.Port(), {"-a", "1", "-t", "4", "-r", "66", "1"});
    EXPECT_NE(result.exitCode, 0);
    EXPECT_NE(result.output.find("Illegal data address"), std::string::npos) << result.output;
}

TEST(PeerTest, MbpollOverTheSerialLink) {
    if (!Have(kMbpoll)) GTEST_SKIP() << "mbpoll not installed";
    simtest::TempDir dir;
    SimProcess sim({"--serial", "COM9", "--baud", "19200", "--ai", "3,4"},
                   {"KESTREL_COM_DIR=" + dir.Path()});
    ASSERT_TRUE(sim.Started());
    const std::string link = dir.Path() + "/COM9";
    auto read = [&](const char* baud) {
        return RunProgram({kMbpoll, "-m", "rtu", "-b", baud, "-P", "none", "-a", "1", "-t", "3",
                           "-r", "1", "-c", "2", "-1", "-o", "1", link});
    };
    const auto right = read("19200");
    EXPECT_EQ(right.exitCode, 0) << right.output;
    EXPECT_NE(right.output.find("[2]: \t4"), std::string::npos) << right.output;
    EXPECT_NE(read("9600").exitCode, 0);
}

TEST(PeerTest, PymodbusSpeaksRtuFramingOverTcp) {
    if (!Have(kPython)) GTEST_SKIP() << "python3 not installed";
    SimProcess sim({"--tcp", "127.0.0.1:0", "--no-discovery", "--framing", "rtu", "--address", "3",
                    "--di", "0100", "--ai", "10,20"});
    ASSERT_TRUE(sim.Started());
    const std::string script =
        "import sys\n"
        "from pymodbus.client import ModbusTcpClient\n"
        "from pymodbus.framer.rtu_framer import ModbusRtuFramer\n"
        "c = ModbusTcpClient('127.0.0.1', port=int(sys.argv[1]), framer=ModbusRtuFramer, "
        "timeout=2)\n"
        "assert c.connect()\n"
        "print('ai', c.read_input_registers(0, 2, slave=3).registers)\n"
        "print('di', c.read_coils(0, 4, slave=3).bits[:4])\n"
        "print('wr', c.write_coil(0x13, True, slave=3).value)\n"
        "print('pa', c.read_holding_registers(0x3F, 2, slave=3).registers)\n"
        "c.close()\n";
    const auto result = RunProgram({kPython, "-c", script, std::to_string(sim.Port())});
    ASSERT_EQ(result.exitCode, 0) << result.output;
    EXPECT_NE(result.output.find("ai [10, 20]"), std::string::npos) << result.output;
    EXPECT_NE(result.output.find("di [False, True, False, False]"), std::string::npos);
    EXPECT_NE(result.output.find("wr True"), std::string::npos);
    EXPECT_NE(result.output.find("pa [768, 519]"), std::string::npos) << result.output;
    EXPECT_NE(sim.Command("show").find("relays=0001"), std::string::npos);
}

}  // namespace
