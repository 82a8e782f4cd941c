#include <gtest/gtest.h>

#include <array>
#include <random>

#include "codec.h"
#include "crc16.h"
#include "frames.h"
#include "hex.h"

namespace {

// The textbook bit-at-a-time CRC-16/MODBUS: register in conventional order, the low byte of the
// result is the one sent first.
std::uint16_t BitwiseCrc(const std::vector<Byte>& data, std::uint16_t init = 0xFFFF) {
    unsigned crc = init;
    for (const Byte b : data) {
        crc ^= b;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1U) != 0 ? (crc >> 1) ^ 0xA001U : crc >> 1;
        }
    }
    return static_cast<std::uint16_t>(crc);
}

std::uint16_t Swap(std::uint16_t value) {
    return static_cast<std::uint16_t>((value << 8) | (value >> 8));
}

std::uint16_t TableCrc(const std::vector<Byte>& data, std::uint16_t init = 0xFFFF) {
    return Crc16Modbus(data.data(), static_cast<std::uint16_t>(data.size()), init);
}

TEST(Crc16, KnownCheckValueHasWireOrder) {
    const std::vector<Byte> digits = Hex("31 32 33 34 35 36 37 38 39");  // "123456789"
    EXPECT_EQ(BitwiseCrc(digits), 0x4B37);
    EXPECT_EQ(TableCrc(digits), 0x374B);
}

TEST(Crc16, AgreesWithBitwiseReferenceOnRandomInput) {
    std::mt19937 rng(12345);
    std::uniform_int_distribution<int> length(0, 300);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int round = 0; round < 5000; ++round) {
        std::vector<Byte> data(static_cast<std::size_t>(length(rng)));
        for (Byte& b : data) {
            b = static_cast<Byte>(byte(rng));
        }
        const auto init = static_cast<std::uint16_t>(rng());
        ASSERT_EQ(TableCrc(data), Swap(BitwiseCrc(data))) << ToHex(data);
        // The running value can be carried over: a CRC continued from a prefix equals the whole.
        ASSERT_EQ(TableCrc(data, init), Swap(BitwiseCrc(data, Swap(init)))) << ToHex(data);
        const std::size_t cut = data.size() / 3;
        const std::vector<Byte> head(data.begin(), data.begin() + static_cast<long>(cut));
        const std::vector<Byte> tail(data.begin() + static_cast<long>(cut), data.end());
        ASSERT_EQ(TableCrc(tail, TableCrc(head)), TableCrc(data));
    }
}

TEST(Crc16, EmptyInputReturnsInit) {
    for (const std::uint16_t init : std::array<std::uint16_t, 4>{0xFFFF, 0x0000, 0x1234, 0xA001}) {
        EXPECT_EQ(Crc16Modbus(nullptr, 0, init), init);
    }
}

class CommandTableTest : public ::testing::Test {
  protected:
    void SetUp() override { ResetCommandTable(); }
    void TearDown() override { ResetCommandTable(); }
};

struct CommandCase {
    int entry;
    Byte address;
    Framing framing;
    const char* expected;
};

TEST_F(CommandTableTest, FramesByteForByte) {
    const CommandCase cases[] = {
        {kCmdRelay1On, 0x01, Framing::ModbusTcp, "00 01 00 00 00 06 01 05 00 10 FF 00"},
        {kCmdRelay1On, 0x01, Framing::ModbusRtu, "01 05 00 10 FF 00 8D FF"},
        {kCmdRelay1On, 0x20, Framing::ModbusRtu, "20 05 00 10 FF 00 8B 4E"},
        {kCmdRelay1Off, 0x01, Framing::ModbusRtu, "01 05 00 10 00 00 CC 0F"},
        {kCmdQueryDi, 0x01, Framing::ModbusRtu, "01 01 00 00 00 04 3D C9"},
        {kCmdQueryAi, 0x01, Framing::ModbusRtu, "01 04 00 00 00 02 71 CB"},
        {kCmdQueryAi, 0x07, Framing::ModbusTcp, "00 01 00 00 00 06 07 04 00 00 00 02"},
        {kCmdReadParams5, 0x01, Framing::ModbusRtu, "FF 03 00 3F 00 05 A0 1B"},
        {kCmdReadParams5, 0x20, Framing::ModbusRtu, "FF 03 00 3F 00 05 A0 1B"},
        {kCmdReadParams5, 0x20, Framing::ModbusTcp, "00 01 00 00 00 06 FF 03 00 3F 00 05"},
        {kCmdReadParams3, 0x01, Framing::ModbusRtu, "01 03 00 3F 00 03 35 C7"},
    };
    for (const CommandCase& c : cases) {
        SCOPED_TRACE(::testing::Message() << "entry " << c.entry << " address " << int{c.address});
        StoreCommandUnit(c.entry, c.address);
        EXPECT_EQ(ToHex(FrameCommand(c.entry, c.framing)), c.expected);
    }
}

TEST_F(CommandTableTest, EveryTcpFrameCarriesTheFixedHeader) {
    for (int k = 0; k < kCommandCount; ++k) {
        StoreCommandUnit(k, 0x42);
        const auto frame = FrameCommand(k, Framing::ModbusTcp);
        ASSERT_EQ(frame.size(), kTcpFrameSize);
        EXPECT_EQ(ToHex(frame.first(6)), "00 01 00 00 00 06") << "entry " << k;
        EXPECT_EQ(frame[6], k == kCmdReadParams5 ? 0xFF : 0x42) << "entry " << k;
    }
}

TEST_F(CommandTableTest, InitialRelayCrcsMatchAFreshCrc) {
    for (int k = 0; k < 8; ++k) {
        const CommandEntry initial = CommandTable.at(static_cast<std::size_t>(k));
        const auto frame = FrameCommand(k, Framing::ModbusRtu);
        EXPECT_EQ(ToHex(frame), ToHex(std::span(initial).subspan(6))) << "entry " << k;
    }
}

TEST(BuildFrame, MatchesTheTableForTheSameRequest) {
    ResetCommandTable();
    StoreCommandUnit(kCmdQueryDi, 0x11);
    const Request request{0x11, 0x01, 0x0000, 0x0004};
    for (const Framing framing : {Framing::ModbusTcp, Framing::ModbusRtu}) {
        EXPECT_EQ(ToHex(BuildFrame(request, framing)), ToHex(FrameCommand(kCmdQueryDi, framing)));
    }
    ResetCommandTable();
}

// The CRC field the codec writes and checks is the reference CRC, low-order byte first, and a
// single flipped bit anywhere fails the check.
TEST(Codec, CrcFieldIsTheReferenceCrcLowByteFirst) {
    std::mt19937 rng(4242);
    for (int round = 0; round < 2000; ++round) {
        std::vector<Byte> frame(1 + rng() % 258);
        for (Byte& b : frame) {
            b = static_cast<Byte>(rng());
        }
        const std::uint16_t reference = BitwiseCrc(frame);
        const std::size_t body = frame.size();
        AppendCrc(frame);
        ASSERT_EQ(frame.size(), body + 2);
        ASSERT_EQ(frame[body], reference & 0xFFU) << ToHex(frame);
        ASSERT_EQ(frame[body + 1], reference >> 8) << ToHex(frame);
        ASSERT_TRUE(CrcMatches(frame)) << ToHex(frame);
        const std::size_t at = rng() % frame.size();
        frame[at] = static_cast<Byte>(frame[at] ^ (1U << (rng() % 8)));
        ASSERT_FALSE(CrcMatches(frame)) << ToHex(frame);
    }
    EXPECT_FALSE(CrcMatches(Hex("FF FF")));  // a CRC with nothing before it is no frame
}

struct EncodeCase {
    const char* message;
    Framing framing;
    std::uint16_t transaction;
    const char* expected;
};

TEST(Codec, FramesMessagesByteForByte) {
    const EncodeCase cases[] = {
        {"01 05 00 10 FF 00", Framing::ModbusRtu, 7, "01 05 00 10 FF 00 8D FF"},
        {"01 05 00 10 FF 00", Framing::ModbusTcp, 1, "00 01 00 00 00 06 01 05 00 10 FF 00"},
        {"FF 03 00 3F 00 05", Framing::ModbusRtu, 0, "FF 03 00 3F 00 05 A0 1B"},
        {"01 81 02", Framing::ModbusTcp, 0xBEEF, "BE EF 00 00 00 03 01 81 02"},
        {"01 04 04 00 07 00 08", Framing::ModbusTcp, 0, "00 00 00 00 00 07 01 04 04 00 07 00 08"},
    };
    for (const EncodeCase& c : cases) {
        SCOPED_TRACE(c.message);
        const auto frame = EncodeMessage(Hex(c.message), c.framing, c.transaction);
        EXPECT_EQ(ToHex(frame), c.expected);
        // What the stream framer hands on of it gives the message back.
        const auto handedOn = c.framing == Framing::ModbusTcp
                                  ? std::span<const Byte>(frame).subspan(kMbapHeaderSize)
                                  : std::span<const Byte>(frame);
        EXPECT_EQ(ToHex(MessageOf(handedOn, c.framing)), c.message);
    }
    // The prebuilt requests are framed by the same rules.
    const Request relayOn{1, 5, 0x0010, 0xFF00};
    for (const Framing framing : {Framing::ModbusTcp, Framing::ModbusRtu}) {
        EXPECT_EQ(BuildFrame(relayOn, framing),
                  EncodeMessage(Hex("01 05 00 10 FF 00"), framing, 1));
    }
}

TEST(Codec, WordsAreBigEndian) {
    const std::vector<Byte> bytes = Hex("12 34 56 FF 00");
    const std::uint16_t expected[] = {0x1234, 0x3456, 0x56FF, 0xFF00};
    std::vector<Byte> appended;
    for (std::size_t at = 0; at < std::size(expected); ++at) {
        EXPECT_EQ(ReadWord(bytes, at), expected[at]) << at;
        std::array<Byte, 3> written{};
        WriteWord(written, 1, expected[at]);
        EXPECT_EQ(ToHex(written), ToHex(std::vector<Byte>{0, bytes[at], bytes[at + 1]}));
    }
    AppendWord(appended, 0x1234);
    AppendWord(appended, 0xFF00);
    EXPECT_EQ(ToHex(appended), "12 34 FF 00");
}

}  // namespace
