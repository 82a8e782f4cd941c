// What the traffic monitor says of each frame, for the same message in both framings.
#include "traffic_summary.h"

#include <gtest/gtest.h>

#include "codec.h"
#include "hex.h"

namespace {

struct SummaryCase {
    const char* direction;
    const char* message;  // unit, function, data: framed below for each framing
    Byte windowAddress;
    const char* summary;
};

// The message as the trace hands it on: Modbus TCP frames with their header, RTU frames with
// their CRC, in both directions.
std::vector<Byte> Traced(const SummaryCase& c, Framing framing) {
    const std::vector<Byte> message = Hex(c.message);
    return framing == Framing::ModbusRtu ? EncodeRtu(message) : EncodeMbap(message, 1);
}

class TrafficSummary : public ::testing::TestWithParam<SummaryCase> {};

TEST_P(TrafficSummary, NamesTheFrameInBothFramings) {
    const SummaryCase& c = GetParam();
    for (const Framing framing : {Framing::ModbusTcp, Framing::ModbusRtu}) {
        EXPECT_EQ(SummarizeFrame(c.direction, framing, Traced(c, framing), c.windowAddress),
                  c.summary)
            << c.message << (framing == Framing::ModbusRtu ? " in RTU" : " in Modbus TCP");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Frames, TrafficSummary,
    ::testing::Values(
        // requests
        SummaryCase{"tx", "05 05 00 10 FF 00", 5, "write RL1 on, unit 5"},
        SummaryCase{"tx", "05 05 00 13 00 00", 5, "write RL4 off, unit 5"},
        SummaryCase{"tx", "05 05 00 14 FF 00", 5, "write coil 0x0014 = 0xFF00, unit 5"},
        SummaryCase{"tx", "05 01 00 00 00 04", 5, "query DI, unit 5"},
        SummaryCase{"tx", "05 04 00 00 00 02", 5, "query AI, unit 5"},
        SummaryCase{"tx", "FF 03 00 3F 00 05", 5,
                    "read 5 parameter registers from 0x003F, unit 255"},
        SummaryCase{"tx", "05 06 00 42 03 E8", 5,
                    "write parameter register 0x0042 = 0x03E8, unit 5"},
        SummaryCase{"tx", "05 10 00 00 00 01", 5, "function 16 0x0000 0x0001, unit 5"},
        // replies
        SummaryCase{"rx", "05 05 00 10 FF 00", 5, "echo RL1 on, unit 5"},
        SummaryCase{"rx", "05 05 00 12 00 00", 5, "echo RL3 off, unit 5"},
        SummaryCase{"rx", "02 05 00 11 FF 00", 5, "DI report: DI2 on"},
        SummaryCase{"rx", "02 05 00 13 00 00", 5, "DI report: DI4 off"},
        SummaryCase{"rx", "05 01 01 05", 5, "DI: DI1 on, DI2 off, DI3 on, DI4 off, unit 5"},
        SummaryCase{"rx", "05 04 04 02 00 04 00", 5, "AI 2.5 / 5"},
        SummaryCase{"rx", "05 04 04 00 01 03 FF", 5, "AI 0.00488281 / 4.99512"},
        SummaryCase{"rx", "05 84 02", 5, "exception 2 to query AI (illegal data address), unit 5"},
        SummaryCase{"rx", "05 85 01", 5, "exception 1 to relay write (illegal function), unit 5"},
        SummaryCase{"rx", "05 03 0A 05 01 02 07 06 00 03 E8 00 00", 1,
                    "parameters: address 5, DI upload on, DI upload address 2, baud index 7, "
                    "version 6, AI1 upload 1000 ms, AI2 upload 0 ms, unit 5"},
        SummaryCase{"rx", "05 03 06 05 00 02 07 06 00", 1,
                    "parameters: address 5, DI upload off, DI upload address 2, baud index 7, "
                    "version 6, unit 5"},
        SummaryCase{"rx", "05 06 00 40 02 07", 5,
                    "echo write parameter register 0x0040 = 0x0207, unit 5"},
        SummaryCase{"rx", "05 05 00 10 12 34", 5, "echo write coil 0x0010 = 0x1234, unit 5"},
        SummaryCase{"rx", "05 2B 0E 01", 5, "function 43, unit 5"}));

// Dropped bytes are counted, never decoded, whatever they look like.
TEST(TrafficSummaryDrop, CountsTheBytes) {
    EXPECT_EQ(SummarizeFrame("drop", Framing::ModbusRtu, Hex("05 05 00"), 5), "dropped 3 bytes");
    EXPECT_EQ(SummarizeFrame("drop", Framing::ModbusTcp, Hex("AA"), 5), "dropped 1 byte");
}

// A frame too short to name a function is said to be one, in either framing.
TEST(TrafficSummaryDrop, ShortFramesAreNotRead) {
    EXPECT_EQ(SummarizeFrame("tx", Framing::ModbusTcp, Hex("00 01 00 00"), 5), "frame of 4 bytes");
    EXPECT_EQ(SummarizeFrame("rx", Framing::ModbusRtu, Hex("05 05"), 5), "frame of 2 bytes");
}

}  // namespace
