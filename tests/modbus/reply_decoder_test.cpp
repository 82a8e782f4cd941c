#include "reply_decoder.h"

#include <gtest/gtest.h>

#include "hex.h"

namespace {

// One line per effect, naming only what the panel would apply.
std::string Describe(const ReplyEffect& effect) {
    char text[64];
    switch (effect.kind) {
        case ReplyEffect::Kind::None:
            return "none";
        case ReplyEffect::Kind::DiBits:
            std::snprintf(text, sizeof text, "di bits %X", unsigned{effect.diBits});
            return text;
        case ReplyEffect::Kind::Indicator:
            std::snprintf(text, sizeof text, "%s%d %s",
                          effect.set == ReplyEffect::IndicatorSet::Relay ? "RL" : "DI",
                          effect.index + 1, effect.checked ? "on" : "off");
            return text;
        case ReplyEffect::Kind::Analog:
            std::snprintf(text, sizeof text, "ai %.10g %.10g", double{effect.ai1},
                          double{effect.ai2});
            return text;
        case ReplyEffect::Kind::Parameters:
            std::snprintf(text, sizeof text, "params @%02X [", unsigned{effect.address});
            return text + ToHex(std::span(effect.params).first(effect.paramCount)) + "]";
    }
    return "?";
}

struct DecodeCase {
    const char* frame;
    Byte windowAddress;
    const char* network;
    const char* serial;
};

const DecodeCase kDecodeCases[] = {
    {"01 01 01 05", 1, "di bits 5", "di bits 5"},
    {"01 01 01 FA", 1, "di bits A", "di bits A"},  // only the low four bits are inputs
    {"01 05 00 12 FF 00", 1, "RL3 on", "RL3 on"},
    {"01 05 00 13 00 00", 1, "RL4 off", "RL4 off"},
    {"02 05 00 11 FF 00", 1, "DI2 on", "RL2 on"},  // a foreign unit reports an input
    {"01 05 00 10 FF 00", 2, "DI1 on", "RL1 on"},
    {"01 05 00 0F FF 00", 1, "none", "none"},
    {"01 05 00 14 FF 00", 1, "none", "none"},
    {"01 05 00 12 12 00", 1, "none", "none"},
    {"01 05 00 12", 1, "RL3 off", "RL3 off"},  // the missing value reads as 0
    {"01 04 04 04 00 02 00", 1, "ai 5 2.5", "ai 5 2.5"},
    {"01 04 04 FF FF 00 01", 1, "ai 319.9951172 0.0048828125", "ai 319.9951172 0.0048828125"},
    {"01 04 04 04 00", 1, "ai 5 0", "ai 5 0"},
    {"05 03 0A 05 01 02 07 06 00 03 E8 00 00", 1, "params @05 [05 01 02 07 06 00 03 E8 00 00]",
     "none"},
    {"05 03 06 05 01 02 07 06 00", 1, "params @05 [05 01 02 07 06 00]", "none"},
    {"05 03 0C 05 01 02 07 06 00 03 E8 00 00 AA BB", 1,
     "params @05 [05 01 02 07 06 00 03 E8 00 00]", "none"},
    {"05 03 0A 09 01 02", 1, "params @09 [09 01 02]", "none"},
    {"05 03 00 07", 1, "none", "none"},  // no byte is vouched for by the count
    {"05 03 0A", 1, "none", "none"},     // the address never arrived
    {"05 03", 1, "none", "none"},
    {"07 03", 1, "none", "none"},
    {"01 81 02", 1, "none", "none"},
    {"01 85 02", 1, "none", "none"},
    {"01 06 00 40 02 07", 1, "none", "none"},
    {"01 00 00 00", 1, "none", "none"},
    {"01", 1, "none", "none"},
    {"", 1, "none", "none"},
};

TEST(ReplyDecoder, DecodesEachFrameOnBothLinks) {
    for (const DecodeCase& c : kDecodeCases) {
        SCOPED_TRACE(c.frame);
        const std::vector<Byte> frame = Hex(c.frame);
        EXPECT_EQ(Describe(DecodeNetworkFrame(frame, c.windowAddress)), c.network);
        EXPECT_EQ(Describe(DecodeSerialFrame(frame)), c.serial);
    }
}

TEST(ReplyDecoder, ReadsNothingPastTheFrame) {
    // The frame is a view into a larger buffer: bytes after it must read as zero, not as what
    // happens to follow in memory.
    const std::vector<Byte> buffer = Hex("01 04 04 04 00 02 00 | 05 03 0A 05 01 02 07");
    EXPECT_EQ(Describe(DecodeNetworkFrame(std::span(buffer).first(5), 1)), "ai 5 0");
    EXPECT_EQ(Describe(DecodeNetworkFrame(std::span(buffer).subspan(7, 5), 1)),
              "params @05 [05 01]");
}

TEST(ScaleAnalog, IsExactlyRawTimesFiveOver1024) {
    EXPECT_EQ(ScaleAnalog(0x0200), 2.5F);
    EXPECT_EQ(ScaleAnalog(0x0400), 5.0F);
    EXPECT_EQ(ScaleAnalog(0xFFFF), 319.9951171875F);
    for (unsigned raw = 0; raw <= 0xFFFF; ++raw) {
        ASSERT_EQ(double{ScaleAnalog(static_cast<std::uint16_t>(raw))}, raw * 5.0 / 1024.0) << raw;
    }
}

}  // namespace
