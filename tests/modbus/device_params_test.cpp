#include "device_params.h"

#include <gtest/gtest.h>

#include "hex.h"

namespace {

const DeviceParams kBlock{{0x05, 0x01, 0x02, 0x07, 0x06, 0x00, 0x03, 0xE8, 0x00, 0x00}};

std::vector<std::string> AllHex(const std::vector<std::vector<Byte>>& frames) {
    std::vector<std::string> text;
    for (const auto& frame : frames) {
        text.push_back(ToHex(frame));
    }
    return text;
}

TEST(DeviceParams, StartsAllZero) {
    EXPECT_EQ(ToHex(g_DeviceParams.bytes), "00 00 00 00 00 00 00 00 00 00");
}

TEST(DeviceParams, ReadFrameAsksUnitFF) {
    EXPECT_EQ(ToHex(ParamReadFrame(3, Framing::ModbusRtu)), "FF 03 00 3F 00 03 20 19");
    EXPECT_EQ(ToHex(ParamReadFrame(5, Framing::ModbusRtu)), "FF 03 00 3F 00 05 A0 1B");
    EXPECT_EQ(ToHex(ParamReadFrame(5, Framing::ModbusTcp)), "00 01 00 00 00 06 FF 03 00 3F 00 05");
}

TEST(DeviceParams, WriteFramesGoOutAddressLast) {
    EXPECT_EQ(AllHex(ParamWriteFrames(kBlock, 5, Framing::ModbusRtu)),
              (std::vector<std::string>{"05 06 00 40 02 07 C9 38", "05 06 00 42 03 E8 28 E4",
                                        "05 06 00 43 00 00 79 9A", "05 06 00 3F 05 01 7A D2"}));
    EXPECT_EQ(AllHex(ParamWriteFrames(kBlock, 5, Framing::ModbusTcp)),
              (std::vector<std::string>{
                  "00 01 00 00 00 06 05 06 00 40 02 07", "00 01 00 00 00 06 05 06 00 42 03 E8",
                  "00 01 00 00 00 06 05 06 00 43 00 00", "00 01 00 00 00 06 05 06 00 3F 05 01"}));
}

TEST(DeviceParams, NewAddressTravelsToTheOldUnit) {
    DeviceParams moved = kBlock;
    moved.bytes[0] = 0x09;
    for (const Framing framing : {Framing::ModbusRtu, Framing::ModbusTcp}) {
        const auto frames = ParamWriteFrames(moved, 5, framing);
        ASSERT_EQ(frames.size(), 4U);
        const std::size_t unitAt = framing == Framing::ModbusTcp ? kMbapHeaderSize : 0;
        std::string registers;
        for (const auto& frame : frames) {
            EXPECT_EQ(frame[unitAt], 0x05);
            registers += ToHex(std::span(frame).subspan(unitAt + 2, 2)) + ";";
        }
        EXPECT_EQ(registers, "00 40;00 42;00 43;00 3F;");  // 0x0041, the firmware, never
        EXPECT_EQ(ToHex(std::span(frames.back()).subspan(unitAt + 2, 4)), "00 3F 09 01");
    }
}

}  // namespace
