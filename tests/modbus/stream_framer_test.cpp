#include "stream_framer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <stdexcept>

#include "crc16.h"
#include "hex.h"

namespace {

using Mode = StreamFramer::Mode;

// A framer that records what it hands on.
struct Recorder {
    explicit Recorder(Mode mode)
        : framer(
              mode, [this](std::span<const Byte> f) { frames.push_back(ToHex(f)); },
              [this](std::span<const Byte> d) {
                  ++dropCalls;
                  dropped.insert(dropped.end(), d.begin(), d.end());
              }) {}

    std::vector<std::string> frames;
    std::vector<Byte> dropped;
    int dropCalls = 0;
    StreamFramer framer;
};

std::vector<Byte> WithCrc(std::vector<Byte> body) {
    const std::uint16_t crc = Crc16Modbus(body.data(), static_cast<std::uint16_t>(body.size()));
    body.push_back(static_cast<Byte>(crc >> 8));
    body.push_back(static_cast<Byte>(crc & 0xFFU));
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
    Mode mode;
    std::vector<Byte> stream;
    std::vector<std::string> frames;
    std::size_t dropped;
};

std::vector<FramerCase> FramerCases() {
    // Unit 0x20 is no function code, so a garbage byte before a frame cannot pair with the
    // unit to look like the start of a longer frame.
    const auto relay = WithCrc(Hex("20 05 00 12 FF 00"));
    const auto di = WithCrc(Hex("20 01 01 05"));
    const auto exception = WithCrc(Hex("20 81 02"));
    auto corrupt = relay;
    corrupt[4] ^= 0x01;
    return {
        {"mbap two frames",
         Mode::Mbap,
         Hex("00 01 00 00 00 04 01 01 01 05 | 00 02 00 00 00 06 01 05 00 12 FF 00"),
         {"01 01 01 05", "01 05 00 12 FF 00"},
         0},
        {"mbap garbage first",
         Mode::Mbap,
         Hex("13 37 00 | 00 01 00 00 00 03 01 81 02"),
         {"01 81 02"},
         3},
        {"mbap protocol id",
         Mode::Mbap,
         Hex("00 01 00 01 00 03 01 81 02 | 00 01 00 00 00 03 01 81 02"),
         {"01 81 02"},
         9},
        {"mbap length 1",
         Mode::Mbap,
         Hex("00 01 00 00 00 01 00 | 00 01 00 00 00 02 01 06"),
         {"01 06"},
         7},
        {"mbap length 255",
         Mode::Mbap,
         Hex("00 01 00 00 00 FF | 00 01 00 00 00 02 01 06"),
         {"01 06"},
         6},
        {"mbap header longer than the reply",
         Mode::Mbap,
         Hex("00 01 00 00 00 40 01 04 04 00 01 00 02 | 00 01 00 00 00 03 01 81 02"),
         {"01 81 02"},
         13},
        {"mbap header of 254 before an echo",
         Mode::Mbap,
         Hex("00 01 00 00 00 FE 01 05 | 00 01 00 00 00 06 01 05 00 12 FF 00"),
         {"01 05 00 12 FF 00"},
         8},
        {"mbap header shorter than the reply",
         Mode::Mbap,
         Hex("00 01 00 00 00 05 01 01 01 05 | 00 01 00 00 00 04 01 01 01 05"),
         {"01 01 01 05"},
         10},
        {"mbap count with no room",
         Mode::Mbap,
         Hex("00 01 00 00 00 02 01 03 | 00 01 00 00 00 03 01 83 02"),
         {"01 83 02"},
         8},
        {"mbap exception announcing more",
         Mode::Mbap,
         Hex("00 01 00 00 00 09 01 84 | 00 01 00 00 00 05 01 03 02 00 07"),
         {"01 03 02 00 07"},
         8},
        {"mbap undecoded function keeps its length",
         Mode::Mbap,
         Hex("00 01 00 00 00 06 01 06 00 3F 00 05 | 00 01 00 00 00 03 01 10 00"),
         {"01 06 00 3F 00 05", "01 10 00"},
         0},
        {"mbap longest",
         Mode::Mbap,
         Concat({Hex("00 01 00 00 00 FE"), std::vector<Byte>(254, 7)}),
         {ToHex(std::vector<Byte>(254, 7))},
         0},
        {"rtu two frames", Mode::RtuStream, Concat({relay, di}), {ToHex(relay), ToHex(di)}, 0},
        {"rtu garbage first", Mode::RtuStream, Concat({Hex("00 00 07"), relay}), {ToHex(relay)}, 3},
        {"rtu exception",
         Mode::RtuStream,
         Concat({exception, di}),
         {ToHex(exception), ToHex(di)},
         0},
        {"rtu unchecked crc", Mode::RtuStream, corrupt, {ToHex(corrupt)}, 0},
        {"checked two frames",
         Mode::RtuChecked,
         Concat({di, exception}),
         {ToHex(di), ToHex(exception)},
         0},
        {"checked bad crc", Mode::RtuChecked, Concat({corrupt, relay}), {ToHex(relay)}, 8},
        {"checked garbage first",
         Mode::RtuChecked,
         Concat({Hex("20 05 00"), relay}),
         {ToHex(relay)},
         3},
        {"checked exception",
         Mode::RtuChecked,
         Concat({Hex("07 83"), exception}),
         {ToHex(exception)},
         2},
    };
}

// Each case is fed whole, byte by byte and in random pieces: the frames must not depend on how
// the bytes happen to arrive.
TEST(StreamFramer, FramesTheSameWhateverThePieces) {
    std::mt19937 rng(7);
    for (const FramerCase& c : FramerCases()) {
        for (const std::size_t maxPiece : {c.stream.size(), std::size_t{1}, std::size_t{5}}) {
            SCOPED_TRACE(::testing::Message() << c.name << ", pieces up to " << maxPiece);
            Recorder rec(c.mode);
            for (std::size_t at = 0; at < c.stream.size();) {
                const std::size_t piece = std::min<std::size_t>(
                    c.stream.size() - at, 1 + rng() % std::max<std::size_t>(maxPiece, 1));
                rec.framer.Feed(std::span(c.stream).subspan(at, piece));
                at += piece;
            }
            EXPECT_EQ(rec.frames, c.frames);
            EXPECT_EQ(rec.dropped.size(), c.dropped);
            EXPECT_EQ(rec.framer.Buffered(), 0U);
        }
    }
}

TEST(StreamFramer, ReportsDroppedBytesOncePerFeed) {
    Recorder rec(Mode::RtuStream);
    const auto stream = Concat({Hex("00 00 07 08 09"), WithCrc(Hex("20 81 02")), Hex("0A 0B")});
    rec.framer.Feed(stream);
    EXPECT_EQ(rec.frames.size(), 1U);
    EXPECT_EQ(rec.dropCalls, 2);
    EXPECT_EQ(ToHex(rec.dropped), "00 00 07 08 09 0A");
    EXPECT_EQ(rec.framer.Buffered(), 1U);  // one byte cannot tell its frame's length yet
}

TEST(StreamFramer, KeepsAnIncompleteTailForTheNextFeed) {
    Recorder rec(Mode::Mbap);
    rec.framer.Feed(Hex("00 01 00 00 00 04 01 01"));
    EXPECT_TRUE(rec.frames.empty());
    EXPECT_EQ(rec.framer.Buffered(), 8U);
    rec.framer.Feed(Hex("01 05 00 01"));
    EXPECT_EQ(rec.frames, std::vector<std::string>{"01 01 01 05"});
    EXPECT_EQ(rec.framer.Buffered(), 2U);
}

TEST(StreamFramer, ResetForgetsAPartialFrame) {
    Recorder rec(Mode::RtuChecked);
    rec.framer.Feed(Hex("01 03 0A 05 01"));
    rec.framer.Reset();
    EXPECT_EQ(rec.framer.Buffered(), 0U);
    const auto relay = WithCrc(Hex("01 05 00 12 FF 00"));
    rec.framer.Feed(relay);
    EXPECT_EQ(rec.frames, std::vector<std::string>{ToHex(relay)});
    EXPECT_TRUE(rec.dropped.empty());
}

TEST(StreamFramer, HandlersMayResetOrFeedFromInside) {
    const auto di = Hex("00 01 00 00 00 04 01 01 01 05");
    const auto ai = Hex("00 01 00 00 00 07 01 04 04 04 00 02 00");
    std::vector<std::string> seen;
    StreamFramer* self = nullptr;
    StreamFramer framer(Mode::Mbap, [&](std::span<const Byte> f) {
        seen.push_back(ToHex(f));
        if (seen.size() == 1) {
            self->Reset();   // the rest of this feed goes
            self->Feed(ai);  // and these bytes follow the frame at hand
        }
    });
    self = &framer;
    framer.Feed(Concat({di, di, Hex("00 01")}));
    EXPECT_EQ(seen, (std::vector<std::string>{"01 01 01 05", "01 04 04 04 00 02 00"}));
    EXPECT_EQ(framer.Buffered(), 0U);
}

TEST(StreamFramer, AThrowingHandlerLosesAndRepeatsNothing) {
    const auto frame = Hex("00 01 00 00 00 03 01 81 02");
    std::vector<std::string> seen;
    StreamFramer framer(Mode::Mbap, [&](std::span<const Byte> f) {
        seen.push_back(ToHex(f));
        if (seen.size() == 1) {
            throw std::runtime_error("handler failed");
        }
    });
    EXPECT_THROW(framer.Feed(Concat({frame, frame})), std::runtime_error);
    EXPECT_EQ(framer.Buffered(), frame.size());
    framer.Feed(frame);
    EXPECT_EQ(seen.size(), 3U);
    EXPECT_EQ(framer.Buffered(), 0U);
}

TEST(StreamFramer, NoiseKeepsTheBufferSmallAndTheWorkLinear) {
    for (const Mode mode : {Mode::Mbap, Mode::RtuStream, Mode::RtuChecked}) {
        SCOPED_TRACE(static_cast<int>(mode));
        std::mt19937 rng(99);
        std::vector<Byte> noise(1 << 16);
        Recorder rec(mode);
        const auto start = std::chrono::steady_clock::now();
        for (int round = 0; round < 48; ++round) {  // 3 MiB
            for (Byte& b : noise) {
                b = static_cast<Byte>(rng());
            }
            for (std::size_t at = 0; at < noise.size();) {
                const std::size_t piece =
                    std::min<std::size_t>(noise.size() - at, 1 + rng() % 4096);
                rec.framer.Feed(std::span(noise).subspan(at, piece));
                at += piece;
                ASSERT_LT(rec.framer.Buffered(), StreamFramer::kMaxFrame);
            }
        }
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
        // Whatever the noise left behind, a reset line frames again at once.
        rec.framer.Reset();
        rec.frames.clear();
        const auto frame =
            mode == Mode::Mbap ? Hex("00 01 00 00 00 03 01 81 02") : WithCrc(Hex("01 81 02"));
        rec.framer.Feed(frame);
        EXPECT_EQ(rec.frames.size(), 1U);
    }
}

TEST(StreamFramer, LongFrameLookalikesCostAtMostOneFramePerByte) {
    // Every other byte announces a 260-byte reply that fails its CRC: the worst a noisy serial
    // line can do. Each start is checked once, not again for every byte that follows.
    std::vector<Byte> lookalikes(1 << 18);
    for (std::size_t i = 0; i < lookalikes.size(); ++i) {
        lookalikes[i] = i % 2 == 0 ? 0x04 : 0xFF;
    }
    Recorder rec(Mode::RtuChecked);
    const auto start = std::chrono::steady_clock::now();
    for (std::size_t at = 0; at < lookalikes.size(); at += 1000) {
        rec.framer.Feed(
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
    explicit ReferenceRtuFramer(Mode mode) : m_mode(mode) {}

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
        std::vector<Byte> body(frame.begin(), frame.end() - 2);
        return m_mode == Mode::RtuStream || WithCrc(body) == frame;
    }

    bool Step() {
        const int length = RtuFrameLength(std::span(m_buffer));
        std::size_t drop = 1;
        if (length < 0 || m_buffer.size() < static_cast<std::size_t>(length)) {
            drop = 0;
            for (std::size_t at = 1; m_mode == Mode::RtuChecked && at + 5 <= m_buffer.size();
                 ++at) {
                if (GoodAt(at, RtuFrameLength(std::span(m_buffer).subspan(at)))) {
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

    Mode m_mode;
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
    for (const Mode mode : {Mode::RtuStream, Mode::RtuChecked}) {
        for (std::size_t n = 0; n < streams.size(); ++n) {
            for (const std::size_t maxPiece : {std::size_t{1}, std::size_t{37}, std::size_t{700}}) {
                SCOPED_TRACE(::testing::Message() << "mode " << static_cast<int>(mode)
                                                  << ", stream " << n << ", pieces " << maxPiece);
                Recorder rec(mode);
                ReferenceRtuFramer reference(mode);
                for (std::size_t at = 0; at < streams[n].size();) {
                    const auto piece =
                        std::span(streams[n])
                            .subspan(at, std::min<std::size_t>(streams[n].size() - at,
                                                               1 + rng() % maxPiece));
                    rec.framer.Feed(piece);
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
    int length;
};

TEST(RtuFrameLength, FollowsTheFunctionCode) {
    const LengthCase cases[] = {
        {"", -1},        {"01", -1},       {"01 05", 8},      {"01 06", 8}, {"01 01", -1},
        {"01 01 01", 6}, {"01 03 0A", 15}, {"01 04 FF", 260}, {"01 81", 5}, {"01 FF", 5},
        {"01 02", 0},    {"01 00", 0},     {"01 10 00", 0},
    };
    for (const LengthCase& c : cases) {
        EXPECT_EQ(RtuFrameLength(Hex(c.start)), c.length) << c.start;
    }
}

}  // namespace

// A stray byte before a reply poses as the start of a long read reply; the good frame behind it
// is taken at once instead of waiting for bytes that will never come.
TEST(StreamFramerLookahead, AStrayByteDoesNotHoldBackTheReplyBehindIt) {
    for (const char* stray : {"00", "A5 5A 00", "01", "FF 03"}) {
        std::vector<std::vector<Byte>> frames;
        StreamFramer framer(StreamFramer::Mode::RtuChecked, [&frames](std::span<const Byte> frame) {
            frames.emplace_back(frame.begin(), frame.end());
        });
        std::vector<Byte> stream = Hex(stray);
        const std::vector<Byte> echo = {0x01, 0x05, 0x00, 0x10, 0xFF, 0x00, 0x8D, 0xFF};
        stream.insert(stream.end(), echo.begin(), echo.end());
        framer.Feed(stream);
        ASSERT_EQ(frames.size(), 1U) << stray;
        EXPECT_EQ(frames[0], echo) << stray;
    }
}
