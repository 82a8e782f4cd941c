#include "stream_framer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <random>

#include "codec.h"
#include "hex.h"

namespace {

// A framer that records what it hands out, taking everything after each piece appended.
struct Recorder {
    explicit Recorder(Framing framing, Direction direction = Direction::Reply)
        : framer(framing, direction) {}

    void Feed(std::span<const Byte> bytes) {
        framer.Append(bytes);
        while (const auto piece = framer.Next()) {
            if (piece->IsFrame()) {
                frames.push_back(ToHex(piece->bytes));
                transactionIds.push_back(piece->transactionId);
            } else {
                ++dropCalls;
                dropped.insert(dropped.end(), piece->bytes.begin(), piece->bytes.end());
            }
        }
    }

    StreamFramer framer;
    std::vector<std::string> frames;
    std::vector<std::uint16_t> transactionIds;
    std::vector<Byte> dropped;
    int dropCalls = 0;
};

std::vector<Byte> WithCrc(std::vector<Byte> body) {
    AppendCrc(body);
    return body;
}

std::vector<Byte> Concat(std::initializer_list<std::vector<Byte>> parts) {
    std::vector<Byte> all;
    for (const auto& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

struct FramerCase {
    const char* name;
    Framing framing;
    std::vector<Byte> stream;
    std::vector<std::string> frames;
    std::size_t dropped;
    Direction direction = Direction::Reply;
};

std::vector<FramerCase> FramerCases() {
    // Unit 0x20 is no function code, so a garbage byte before a frame cannot pair with the
    // unit to look like the start of a longer frame.
    const auto relay = WithCrc(Hex("20 05 00 12 FF 00"));
    const auto di = WithCrc(Hex("20 01 01 05"));
    const auto exception = WithCrc(Hex("20 81 02"));
    auto corrupt = relay;
    corrupt[4] ^= 0x01;
    const auto readInputs = Hex("01 01 00 00 00 04");
    const auto relayOn = Hex("01 05 00 10 FF 00");
    const auto Mbap = [](std::uint16_t transaction, const std::vector<Byte>& message) {
        return EncodeMbap(message, transaction);
    };
    constexpr Direction kRequest = Direction::Request;
    return {
        {"mbap two frames",
         Framing::ModbusTcp,
         Hex("00 01 00 00 00 04 01 01 01 05 | 00 02 00 00 00 06 01 05 00 12 FF 00"),
         {"01 01 01 05", "01 05 00 12 FF 00"},
         0},
        {"mbap garbage first",
         Framing::ModbusTcp,
         Hex("13 37 00 | 00 01 00 00 00 03 01 81 02"),
         {"01 81 02"},
         3},
        {"mbap protocol id",
         Framing::ModbusTcp,
         Hex("00 01 00 01 00 03 01 81 02 | 00 01 00 00 00 03 01 81 02"),
         {"01 81 02"},
         9},
        {"mbap length 1",
         Framing::ModbusTcp,
         Hex("00 01 00 00 00 01 00 | 00 01 00 00 00 02 01 06"),
         {"01 06"},
         7},
        {"mbap length 255",
         Framing::ModbusTcp,
         Hex("00 01 00 00 00 FF | 00 01 00 00 00 02 01 06"),
         {"01 06"},
         6},
        {"mbap header longer than the reply",
         Framing::ModbusTcp,
         Hex("00 01 00 00 00 40 01 04 04 00 01 00 02 | 00 01 00 00 00 03 01 81 02"),
         {"01 81 02"},
         13},
        {"mbap header of 254 before an echo",
         Framing::ModbusTcp,
         Hex("00 01 00 00 00 FE 01 05 | 00 01 00 00 00 06 01 05 00 12 FF 00"),
         {"01 05 00 12 FF 00"},
         8},
        {"mbap header shorter than the reply",
         Framing::ModbusTcp,
         Hex("00 01 00 00 00 05 01 01 01 05 | 00 01 00 00 00 04 01 01 01 05"),
         {"01 01 01 05"},
         10},
        {"mbap count with no room",
         Framing::ModbusTcp,
         Hex("00 01 00 00 00 02 01 03 | 00 01 00 00 00 03 01 83 02"),
         {"01 83 02"},
         8},
        {"mbap exception announcing more",
         Framing::ModbusTcp,
         Hex("00 01 00 00 00 09 01 84 | 00 01 00 00 00 05 01 03 02 00 07"),
         {"01 03 02 00 07"},
         8},
        {"mbap undecoded function keeps its length",
         Framing::ModbusTcp,
         Hex("00 01 00 00 00 06 01 06 00 3F 00 05 | 00 01 00 00 00 03 01 10 00"),
         {"01 06 00 3F 00 05", "01 10 00"},
         0},
        {"mbap longest",
         Framing::ModbusTcp,
         Concat({Hex("00 01 00 00 00 FE"), std::vector<Byte>(254, 7)}),
         {ToHex(std::vector<Byte>(254, 7))},
         0},
        {"rtu two frames", Framing::ModbusRtu, Concat({relay, di}), {ToHex(relay), ToHex(di)}, 0},
        {"rtu garbage first",
         Framing::ModbusRtu,
         Concat({Hex("00 00 07"), relay}),
         {ToHex(relay)},
         3},
        {"rtu exception",
         Framing::ModbusRtu,
         Concat({exception, di}),
         {ToHex(exception), ToHex(di)},
         0},
        {"checked two frames",
         Framing::ModbusRtu,
         Concat({di, exception}),
         {ToHex(di), ToHex(exception)},
         0},
        {"checked bad crc", Framing::ModbusRtu, Concat({corrupt, relay}), {ToHex(relay)}, 8},
        {"checked garbage first",
         Framing::ModbusRtu,
         Concat({Hex("20 05 00"), relay}),
         {ToHex(relay)},
         3},
        {"checked exception",
         Framing::ModbusRtu,
         Concat({Hex("07 83"), exception}),
         {ToHex(exception)},
         2},
        // Requests, as the simulator frames them: an MBAP request's length is its header's alone,
        // and every RTU request is eight bytes whatever its function.
        {"request mbap two",
         Framing::ModbusTcp,
         Concat({Mbap(1, readInputs), Mbap(2, relayOn)}),
         {ToHex(readInputs), ToHex(relayOn)},
         0,
         kRequest},
        {"request mbap protocol id",
         Framing::ModbusTcp,
         Concat({Hex("00 09 00 01 00 06"), Mbap(3, readInputs)}),
         {ToHex(readInputs)},
         6,
         kRequest},
        {"request mbap length 1",
         Framing::ModbusTcp,
         Concat({Hex("00 09 00 00 00 01"), Mbap(3, relayOn)}),
         {ToHex(relayOn)},
         6,
         kRequest},
        {"request mbap length 255",
         Framing::ModbusTcp,
         Concat({Hex("00 09 00 00 00 FF"), Mbap(3, relayOn)}),
         {ToHex(relayOn)},
         6,
         kRequest},
        {"request mbap short read",
         Framing::ModbusTcp,
         Mbap(4, Hex("01 03")),
         {"01 03"},
         0,
         kRequest},
        {"request rtu two",
         Framing::ModbusRtu,
         Concat({WithCrc(readInputs), WithCrc(relayOn)}),
         {ToHex(WithCrc(readInputs)), ToHex(WithCrc(relayOn))},
         0,
         kRequest},
        {"request rtu garbage first",
         Framing::ModbusRtu,
         Concat({Hex("00 13 37"), WithCrc(relayOn)}),
         {ToHex(WithCrc(relayOn))},
         3,
         kRequest},
        {"request rtu bad crc",
         Framing::ModbusRtu,
         Concat({Concat({relayOn, Hex("8D FE")}), WithCrc(readInputs)}),
         {ToHex(WithCrc(readInputs))},
         8,
         kRequest},
        {"request rtu unknown function kept",
         Framing::ModbusRtu,
         WithCrc(Hex("01 11 00 00 00 00")),
         {ToHex(WithCrc(Hex("01 11 00 00 00 00")))},
         0,
         kRequest},
    };
}

// Each case is fed whole, byte by byte and in random pieces: the frames must not depend on how
// the bytes happen to arrive.
TEST(StreamFramer, FramesTheSameWhateverThePieces) {
    std::mt19937 rng(7);
    for (const FramerCase& c : FramerCases()) {
        for (const std::size_t maxPiece : {c.stream.size(), std::size_t{1}, std::size_t{5}}) {
            SCOPED_TRACE(::testing::Message() << c.name << ", pieces up to " << maxPiece);
            Recorder rec(c.framing, c.direction);
            for (std::size_t at = 0; at < c.stream.size();) {
                const std::size_t piece = std::min<std::size_t>(
                    c.stream.size() - at, 1 + rng() % std::max<std::size_t>(maxPiece, 1));
                rec.Feed(std::span(c.stream).subspan(at, piece));
                at += piece;
            }
            EXPECT_EQ(rec.frames, c.frames);
            EXPECT_EQ(rec.dropped.size(), c.dropped);
            EXPECT_EQ(rec.framer.Buffered(), 0U);
        }
    }
}

TEST(StreamFramer, ReportsDroppedBytesOncePerFeed) {
    Recorder rec(Framing::ModbusRtu);
    const auto stream = Concat({Hex("00 00 07 08 09"), WithCrc(Hex("20 81 02")), Hex("0A 0B")});
    rec.Feed(stream);
    EXPECT_EQ(rec.frames.size(), 1U);
    EXPECT_EQ(rec.dropCalls, 2);
    EXPECT_EQ(ToHex(rec.dropped), "00 00 07 08 09 0A");
    EXPECT_EQ(rec.framer.Buffered(), 1U);  // one byte cannot tell its frame's length yet
}

TEST(StreamFramer, KeepsAnIncompleteTailForTheNextFeed) {
    Recorder rec(Framing::ModbusTcp);
    rec.Feed(Hex("00 01 00 00 00 04 01 01"));
    EXPECT_TRUE(rec.frames.empty());
    EXPECT_EQ(rec.framer.Buffered(), 8U);
    rec.Feed(Hex("01 05 00 01"));
    EXPECT_EQ(rec.frames, std::vector<std::string>{"01 01 01 05"});
    EXPECT_EQ(rec.framer.Buffered(), 2U);
}

// A caller may stop taking pieces at any point and append more first: nothing is lost,
// repeated or reordered, and each piece's bytes stay as they were until the next call.
TEST(StreamFramer, AppendingBetweenPiecesLosesNothing) {
    const auto relay = WithCrc(Hex("20 05 00 12 FF 00"));
    const auto exception = WithCrc(Hex("20 81 02"));
    StreamFramer framer(Framing::ModbusRtu, Direction::Reply);
    framer.Append(Concat({Hex("00 07"), relay, exception}));
    std::vector<std::string> seen;
    const auto take = [&] {
        const auto piece = framer.Next();
        EXPECT_TRUE(piece.has_value());
        const std::string text =
            std::string(piece->IsFrame() ? "frame " : "drop ") + ToHex(piece->bytes);
        framer.Append(Hex("00"));
        return text;
    };
    const auto first = framer.Next();
    ASSERT_TRUE(first.has_value());
    seen.push_back("drop " + ToHex(first->bytes));
    framer.Append(relay);
    seen.push_back(take());
    seen.push_back(take());
    while (const auto piece = framer.Next()) {
        seen.push_back(std::string(piece->IsFrame() ? "frame " : "drop ") + ToHex(piece->bytes));
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"drop 00 07", "frame " + ToHex(relay),
                                              "frame " + ToHex(exception), "frame " + ToHex(relay),
                                              "drop 00"}));
    EXPECT_EQ(framer.Buffered(), 1U);  // the last zero cannot tell its frame's length yet
}

TEST(StreamFramer, MbapFramesCarryTheirTransactionIds) {
    for (const Direction direction : {Direction::Request, Direction::Reply}) {
        Recorder rec(Framing::ModbusTcp, direction);
        rec.Feed(
            Concat({EncodeMbap(Hex("01 01 01 05"), 0x1234), EncodeMbap(Hex("01 81 02"), 0xFFFF)}));
        EXPECT_EQ(rec.transactionIds, (std::vector<std::uint16_t>{0x1234, 0xFFFF}));
    }
}

TEST(StreamFramer, NoiseKeepsTheBufferSmallAndTheWorkLinear) {
    for (const Framing framing : {Framing::ModbusTcp, Framing::ModbusRtu}) {
        for (const Direction direction : {Direction::Reply, Direction::Request}) {
            SCOPED_TRACE(::testing::Message()
                         << static_cast<int>(framing) << static_cast<int>(direction));
            std::mt19937 rng(99);
            std::vector<Byte> noise(1 << 16);
            Recorder rec(framing, direction);
            const auto start = std::chrono::steady_clock::now();
            for (int round = 0; round < 48; ++round) {  // 3 MiB
                for (Byte& b : noise) {
                    b = static_cast<Byte>(rng());
                }
                for (std::size_t at = 0; at < noise.size();) {
                    const std::size_t piece =
                        std::min<std::size_t>(noise.size() - at, 1 + rng() % 4096);
                    rec.Feed(std::span(noise).subspan(at, piece));
                    at += piece;
                    ASSERT_LT(rec.framer.Buffered(), StreamFramer::kMaxFrame);
                }
            }
            EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
            // Whatever the noise left behind, frames come through again within a frame's length.
            rec.frames.clear();
            const auto frame = framing == Framing::ModbusTcp   ? Hex("00 01 00 00 00 03 01 81 02")
                               : direction == Direction::Reply ? WithCrc(Hex("01 81 02"))
                                                               : WithCrc(Hex("01 05 00 10 FF 00"));
            for (std::size_t fed = 0; fed < 2 * StreamFramer::kMaxFrame; fed += frame.size()) {
                rec.Feed(frame);
            }
            EXPECT_FALSE(rec.frames.empty());
            EXPECT_EQ(rec.frames.back(), ToHex(framing == Framing::ModbusTcp
                                                   ? std::span(frame).subspan(kMbapHeaderSize)
                                                   : std::span(frame)));
        }
    }
}

TEST(StreamFramer, LongFrameLookalikesCostAtMostOneFramePerByte) {
    // Every other byte announces a 260-byte reply that fails its CRC: the worst a noisy serial
    // line can do. Each start is checked once, not again for every byte that follows.
    std::vector<Byte> lookalikes(1 << 18);
    for (std::size_t i = 0; i < lookalikes.size(); ++i) {
        lookalikes[i] = i % 2 == 0 ? 0x04 : 0xFF;
    }
    Recorder rec(Framing::ModbusRtu);
    const auto start = std::chrono::steady_clock::now();
    for (std::size_t at = 0; at < lookalikes.size(); at += 1000) {
        rec.Feed(
            std::span(lookalikes).subspan(at, std::min<std::size_t>(1000, lookalikes.size() - at)));
        ASSERT_LT(rec.framer.Buffered(), StreamFramer::kMaxFrame);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    EXPECT_TRUE(rec.frames.empty());
    EXPECT_EQ(rec.dropped.size() + rec.framer.Buffered(), lookalikes.size());
}

// The RTU framing as plainly as it can be written: every candidate's CRC computed from its bytes,
// every look-ahead from the scan position on. Slow, and the measure of the real framer.
class ReferenceRtuFramer {
  public:
    explicit ReferenceRtuFramer(Direction direction) : m_direction(direction) {}

    void Feed(std::span<const Byte> bytes) {
        m_buffer.insert(m_buffer.end(), bytes.begin(), bytes.end());
        while (Step()) {
        }
    }

    std::vector<std::string> frames;
    std::size_t dropped = 0;

  private:
    bool GoodAt(std::size_t at, int length) const {
        if (length <= 0 || m_buffer.size() - at < static_cast<std::size_t>(length)) {
            return false;
        }
        const std::vector<Byte> frame(m_buffer.begin() + static_cast<long>(at),
                                      m_buffer.begin() + static_cast<long>(at) + length);
        const std::vector<Byte> body(frame.begin(), frame.end() - 2);
        return WithCrc(body) == frame;
    }

    bool Step() {
        const int length = RtuFrameLength(std::span(m_buffer), m_direction);
        std::size_t drop = 1;
        if (length < 0 || m_buffer.size() < static_cast<std::size_t>(length)) {
            drop = 0;
            for (std::size_t at = 1; at + 5 <= m_buffer.size(); ++at) {
                if (GoodAt(at, RtuFrameLength(std::span(m_buffer).subspan(at), m_direction))) {
                    drop = at;
                    break;
                }
            }
        } else if (length > 0 && GoodAt(0, length)) {
            frames.push_back(ToHex(std::span(m_buffer).first(static_cast<std::size_t>(length))));
            m_buffer.erase(m_buffer.begin(), m_buffer.begin() + length);
            return true;
        }
        dropped += drop;
        m_buffer.erase(m_buffer.begin(), m_buffer.begin() + static_cast<long>(drop));
        return drop != 0;
    }

    Direction m_direction;
    std::vector<Byte> m_buffer;
};

std::vector<Byte> Repeated(const char* pattern, std::size_t size) {
    const std::vector<Byte> unit = Hex(pattern);
    std::vector<Byte> all;
    while (all.size() < size) {
        all.insert(all.end(), unit.begin(), unit.end());
    }
    return all;
}

// Patterns that pose as the starts of long frames at many positions, some with good replies
// hidden among them, and random bytes: whatever the pieces, the framer hands on exactly the
// frames and drops exactly the bytes the plain framing does.
TEST(StreamFramer, HardPatternsFrameLikeThePlainFraming) {
    const auto echo = WithCrc(Hex("01 05 00 10 FF 00"));
    const auto ai = WithCrc(Hex("01 04 04 00 02 00 03"));
    std::mt19937 rng(5);
    std::vector<Byte> noise(6000);
    for (Byte& b : noise) {
        b = static_cast<Byte>(rng() % 7 == 0 ? rng() : rng() % 6);
    }
    const std::vector<std::vector<Byte>> streams = {
        Repeated("01 01 FF", 3000),
        Repeated("04 FF", 3000),
        Concat({Repeated("01 01 FF", 700), echo, Repeated("FF 04 FF", 700), ai, echo}),
        Concat({Repeated("01 04 80", 400), ai, Repeated("03 03", 401), echo}),
        Concat({noise, ai}),
    };
    for (const Direction direction : {Direction::Reply, Direction::Request}) {
        for (std::size_t n = 0; n < streams.size(); ++n) {
            for (const std::size_t maxPiece : {std::size_t{1}, std::size_t{37}, std::size_t{700}}) {
                SCOPED_TRACE(::testing::Message() << "direction " << static_cast<int>(direction)
                                                  << ", stream " << n << ", pieces " << maxPiece);
                Recorder rec(Framing::ModbusRtu, direction);
                ReferenceRtuFramer reference(direction);
                for (std::size_t at = 0; at < streams[n].size();) {
                    const auto piece =
                        std::span(streams[n])
                            .subspan(at, std::min<std::size_t>(streams[n].size() - at,
                                                               1 + rng() % maxPiece));
                    rec.Feed(piece);
                    reference.Feed(piece);
                    at += piece.size();
                }
                EXPECT_EQ(rec.frames, reference.frames);
                EXPECT_EQ(rec.dropped.size(), reference.dropped);
            }
        }
    }
}

struct LengthCase {
    const char* start;
    int reply;
    int request;
};

TEST(RtuFrameLength, FollowsTheFunctionCodeAndTheDirection) {
    const LengthCase cases[] = {
        {"", -1, -1},       {"01", -1, -1},     {"01 05", 8, 8},     {"01 06", 8, 8},
        {"01 01", -1, 8},   {"01 01 01", 6, 8}, {"01 03 0A", 15, 8}, {"01 04 FF", 260, 8},
        {"01 81", 5, 8},    {"01 FF", 5, 8},    {"01 02", 0, 8},     {"01 00", 0, 8},
        {"01 10 00", 0, 8},
    };
    for (const LengthCase& c : cases) {
        EXPECT_EQ(RtuFrameLength(Hex(c.start), Direction::Reply), c.reply) << c.start;
        EXPECT_EQ(RtuFrameLength(Hex(c.start), Direction::Request), c.request) << c.start;
    }
}

}  // namespace

// A stray byte before a reply poses as the start of a long read reply; the good frame behind it
// is taken at once instead of waiting for bytes that will never come.
TEST(StreamFramerLookahead, AStrayByteDoesNotHoldBackTheReplyBehindIt) {
    for (const char* stray : {"00", "A5 5A 00", "01", "FF 03"}) {
        std::vector<std::vector<Byte>> frames;
        StreamFramer framer(Framing::ModbusRtu, Direction::Reply);
        std::vector<Byte> stream = Hex(stray);
        const std::vector<Byte> echo = {0x01, 0x05, 0x00, 0x10, 0xFF, 0x00, 0x8D, 0xFF};
        stream.insert(stream.end(), echo.begin(), echo.end());
        framer.Append(stream);
        while (const auto piece = framer.Next()) {
            if (piece->IsFrame()) {
                frames.emplace_back(piece->bytes.begin(), piece->bytes.end());
            }
        }
        ASSERT_EQ(frames.size(), 1U) << stray;
        EXPECT_EQ(frames[0], echo) << stray;
    }
}
