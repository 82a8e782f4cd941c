#include "device_params.h"

#include <gtest/gtest.h>

#include "hex.h"
#include "param_fields.h"

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
    // The command-line tool asks the unit it is given instead.
    EXPECT_EQ(ToHex(ParamReadFrame(5, Framing::ModbusTcp, 7)),
              "00 01 00 00 00 06 07 03 00 3F 00 05");
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

// The block as the "Advanced" dialog's fields and back: what a showing starts from, and what a
// confirmed showing stores.
TEST(ParamFields, BlockToFieldsAndBack) {
    struct Case {
        const char* name;
        DeviceParams block;
        ParamFields edit;
        const char* stored;
    };
    const Case cases[] = {
        {"unchanged", kBlock, {5, 1, 2, 7, 1000, 0}, "05 01 02 07 06 00 03 E8 00 00"},
        {"no rate chosen", kBlock, {5, 1, 2, -1, 1000, 0}, "05 01 02 FF 06 00 03 E8 00 00"},
        {"periods cut to 16 bits",
         kBlock,
         {5, 7, 2, 0, 65536, 70000},
         "05 07 02 00 06 00 00 00 11 70"},
        {"version and byte 5 kept",
         DeviceParams{{1, 0, 2, 3, 0x16, 0xAB, 0, 0, 0xFF, 0xFF}},
         {9, 0, 2, 3, 0, 65535},
         "09 00 02 03 16 AB 00 00 FF FF"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DeviceParams block = c.block;
        StoreFields(c.edit, block);
        EXPECT_EQ(ToHex(block.bytes), c.stored);
    }
    const ParamFields shown = FieldsOfBlock(kBlock);
    EXPECT_EQ((std::vector<std::uint32_t>{shown.slaveAddr, shown.uploadEnable, shown.uploadAddr,
                                          static_cast<std::uint32_t>(shown.baudIndex),
                                          shown.ai1Period, shown.ai2Period}),
              (std::vector<std::uint32_t>{5, 1, 2, 7, 1000, 0}));
    EXPECT_EQ(FieldsOfBlock(DeviceParams{{1, 0, 2, 8}}).baudIndex, -1);  // 8 names no rate
}

TEST(ParamFields, VersionTextAndTheAddressCheck) {
    EXPECT_EQ(VersionText(0x16), "V16");
    EXPECT_EQ(VersionText(0x0A), "Va");
    EXPECT_EQ(VersionText(0xFF), "Vff");
    EXPECT_EQ(VersionText(0x00), "V0");
    EXPECT_TRUE(AddressesClash({5, 1, 5, 0, 0, 0}));
    EXPECT_FALSE(AddressesClash({5, 1, 6, 0, 0, 0}));
}

}  // namespace
