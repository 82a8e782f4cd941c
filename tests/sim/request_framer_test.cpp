#include "request_framer.h"

#include <gtest/gtest.h>

#include <vector>

#include "crc16.h"
#include "frames.h"

namespace {

using sim::FramedRequest;
using sim::Message;
using sim::RequestFramer;

std::vector<Byte> Mbap(std::uint16_t transaction, const Message& body) {
    return sim::FrameMessage(body, Framing::ModbusTcp, transaction);
}

std::vector<Byte> Rtu(const Message& body) {
    return sim::FrameMessage(body, Framing::ModbusRtu, 0);
}

std::vector<Byte> Concat(std::initializer_list<std::vector<Byte>> parts) {
    std::vector<Byte> all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

// Feeds the stream in pieces of `piece` bytes and collects every request it yields.
std::vector<FramedRequest> Feed(Framing framing, const std::vector<Byte>& stream,
                                std::size_t piece) {
    RequestFramer framer(framing);
    std::vector<FramedRequest> out;
    for (std::size_t at = 0; at < stream.size(); at += piece) {
        const std::size_t n = std::min(piece, stream.size() - at);
        framer.Append({stream.data() + at, n});
        while (auto request = framer.Next()) out.push_back(*request);
    }
    return out;
}

const Message kReadInputs{1, 1, 0, 0, 0, 4};
const Message kRelayOn{1, 5, 0, 0x10, 0xFF, 0x00};

TEST(FrameMessageTest, MatchesTheFramesOfTheProtocolCore) {
    const Request request{1, 5, 0x0010, 0xFF00};
    EXPECT_EQ(Rtu(kRelayOn), BuildFrame(request, Framing::ModbusRtu));
    EXPECT_EQ(Mbap(1, kRelayOn), BuildFrame(request, Framing::ModbusTcp));
    EXPECT_EQ(Rtu(kRelayOn), (std::vector<Byte>{1, 5, 0, 0x10, 0xFF, 0, 0x8D, 0xFF}));
}

TEST(FrameMessageTest, MbapLengthCountsUnitAndPdu) {
    EXPECT_EQ(Mbap(0xBEEF, Message{1, 0x81, 2}),
              (std::vector<Byte>{0xBE, 0xEF, 0, 0, 0, 3, 1, 0x81, 2}));
}

struct StreamCase {
    const char* name;
    Framing framing;
    std::vector<Byte> stream;
    std::vector<Message> expected;
};

void PrintTo(const StreamCase& c, std::ostream* out) {
    *out << c.name;
}

class StreamTest : public testing::TestWithParam<StreamCase> {};

// Whatever the pieces the stream arrives in, the same requests come out.
TEST_P(StreamTest, YieldsTheSameRequestsForAnyPieceSize) {
    for (std::size_t piece : {1U, 3U, 7U, 64U}) {
        std::vector<Message> got;
        for (const auto& r : Feed(GetParam().framing, GetParam().stream, piece)) {
            got.push_back(r.message);
        }
        EXPECT_EQ(got, GetParam().expected) << "pieces of " << piece;
    }
}

std::vector<Byte> BadCrc(std::vector<Byte> frame) {
    frame.back() ^= 0x01;
    return frame;
}

const StreamCase kStreamCases[] = {
    {"MbapTwoGlued",
     Framing::ModbusTcp,
     Concat({Mbap(1, kReadInputs), Mbap(2, kRelayOn)}),
     {kReadInputs, kRelayOn}},
    {"MbapBadProtocolSkipped",
     Framing::ModbusTcp,
     Concat({{0, 9, 0, 1, 0, 6}, Mbap(3, kReadInputs)}),
     {kReadInputs}},
    {"MbapLengthTooSmallSkipped",
     Framing::ModbusTcp,
     Concat({{0, 9, 0, 0, 0, 1}, Mbap(3, kRelayOn)}),
     {kRelayOn}},
    {"MbapLengthTooLargeSkipped",
     Framing::ModbusTcp,
     Concat({{0, 9, 0, 0, 0, 255}, Mbap(3, kRelayOn)}),
     {kRelayOn}},
    {"RtuTwoGlued",
     Framing::ModbusRtu,
     Concat({Rtu(kReadInputs), Rtu(kRelayOn)}),
     {kReadInputs, kRelayOn}},
    {"RtuGarbageBefore",
     Framing::ModbusRtu,
     Concat({{0x00, 0x13, 0x37}, Rtu(kRelayOn)}),
     {kRelayOn}},
    {"RtuBadCrcDropped",
     Framing::ModbusRtu,
     Concat({BadCrc(Rtu(kRelayOn)), Rtu(kReadInputs)}),
     {kReadInputs}},
    {"RtuUnknownFunctionKept",
     Framing::ModbusRtu,
     Rtu(Message{1, 0x11, 0, 0, 0, 0}),
     {Message{1, 0x11, 0, 0, 0, 0}}},
    {"RtuPartialOnly", Framing::ModbusRtu, {1, 5, 0, 0x10, 0xFF}, {}},
};

INSTANTIATE_TEST_SUITE_P(Streams, StreamTest, testing::ValuesIn(kStreamCases),
                         [](const auto& caseInfo) { return std::string(caseInfo.param.name); });

TEST(RequestFramerTest, MbapKeepsTransactionIds) {
    const auto got =
        Feed(Framing::ModbusTcp, Concat({Mbap(0x1234, kReadInputs), Mbap(0xFFFF, kRelayOn)}), 5);
    ASSERT_EQ(got.size(), 2U);
    EXPECT_EQ(got[0].transactionId, 0x1234);
    EXPECT_EQ(got[1].transactionId, 0xFFFF);
}

TEST(RequestFramerTest, FloodOfNoiseStaysBoundedAndRecovers) {
    for (Framing framing : {Framing::ModbusTcp, Framing::ModbusRtu}) {
        RequestFramer framer(framing);
        framer.Append(std::vector<Byte>(3 * RequestFramer::kBufferLimit, 0xAA));
        EXPECT_LE(framer.Buffered(), RequestFramer::kBufferLimit);
        EXPECT_FALSE(framer.Next().has_value());
        framer.Append(framing == Framing::ModbusTcp ? Mbap(9, kRelayOn) : Rtu(kRelayOn));
        const auto request = framer.Next();
        ASSERT_TRUE(request.has_value());
        EXPECT_EQ(request->message, kRelayOn);
    }
}

}  // namespace
