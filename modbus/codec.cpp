#include "codec.h"

#include "crc16.h"

namespace {

constexpr int kRtuWordsLength = 8;  // unit, function, two words, CRC
constexpr int kRtuExceptionLength = 5;
constexpr int kRtuCountedOverhead = 5;  // unit, function, count, two CRC bytes
constexpr std::size_t kMbapTransactionAt = 0;
constexpr std::size_t kMbapProtocolAt = 2;
constexpr std::size_t kMbapLengthAt = 4;
constexpr Byte kExceptionBit = 0x80;

bool IsDecodedReply(Byte function) {
    return (function & kExceptionBit) != 0 || function == 1 || function == 3 || function == 4 ||
           function == 5;
}

int RtuReplyLength(std::span<const Byte> start) {
    const Byte function = start[1];
    if ((function & kExceptionBit) != 0) {
        return kRtuExceptionLength;
    }
    switch (function) {
        case 5:
        case 6:
            return kRtuWordsLength;
        case 1:
        case 3:
        case 4:
            return start.size() < 3 ? -1 : kRtuCountedOverhead + start[2];
        default:
            return 0;
    }
}

}  // namespace

std::uint16_t ReadWord(std::span<const Byte> bytes, std::size_t at) {
    return static_cast<std::uint16_t>((bytes[at] << 8) | bytes[at + 1]);
}

void WriteWord(std::span<Byte> bytes, std::size_t at, std::uint16_t word) {
    bytes[at] = static_cast<Byte>(word >> 8);
    bytes[at + 1] = static_cast<Byte>(word & 0xFFU);
}

void AppendWord(std::vector<Byte>& bytes, std::uint16_t word) {
    bytes.resize(bytes.size() + 2);
    WriteWord(bytes, bytes.size() - 2, word);
}

void StoreCrc(std::span<Byte> frame) {
    const std::size_t body = frame.size() - kCrcSize;
    WriteWord(frame, body, Crc16Modbus(frame.data(), static_cast<std::uint16_t>(body)));
}

void AppendCrc(std::vector<Byte>& frame) {
    frame.resize(frame.size() + kCrcSize);
    StoreCrc(frame);
}

bool CrcMatches(std::span<const Byte> frame) {
    if (frame.size() <= kCrcSize) {
        return false;
    }
    const auto body = static_cast<std::uint16_t>(frame.size() - kCrcSize);
    return CrcFieldIs(frame, Crc16Modbus(frame.data(), body));
}

bool CrcFieldIs(std::span<const Byte> frame, std::uint16_t crc) {
    return frame.size() >= kCrcSize && ReadWord(frame, frame.size() - kCrcSize) == crc;
}

std::vector<Byte> EncodeMbap(std::span<const Byte> message, std::uint16_t transactionId) {
    std::vector<Byte> frame;
    frame.reserve(kMbapHeaderSize + message.size());
    AppendWord(frame, transactionId);
    AppendWord(frame, 0);
    AppendWord(frame, static_cast<std::uint16_t>(message.size()));
    for (const Byte byte : message) {  // one by one: GCC 12 misreads a range insert at -O2
        frame.push_back(byte);
    }
    return frame;
}

std::vector<Byte> EncodeRtu(std::span<const Byte> message) {
    std::vector<Byte> frame(message.begin(), message.end());
    AppendCrc(frame);
    return frame;
}

std::vector<Byte> EncodeMessage(std::span<const Byte> message, Framing framing,
                                std::uint16_t transactionId) {
    return framing == Framing::ModbusTcp ? EncodeMbap(message, transactionId) : EncodeRtu(message);
}

std::span<const Byte> MessageOf(std::span<const Byte> frame, Framing framing) {
    if (framing == Framing::ModbusTcp || frame.size() < kCrcSize) {
        return frame;
    }
    return frame.first(frame.size() - kCrcSize);
}

std::uint16_t MbapTransactionId(std::span<const Byte> header) {
    return ReadWord(header, kMbapTransactionAt);
}

std::uint16_t MbapLength(std::span<const Byte> header) {
    return ReadWord(header, kMbapLengthAt);
}

bool IsPlausibleMbapHeader(std::span<const Byte> header) {
    const std::uint16_t length = MbapLength(header);
    return ReadWord(header, kMbapProtocolAt) == 0 && length >= kMbapMinLength &&
           length <= kMbapMaxLength;
}

int RtuFrameLength(std::span<const Byte> start, Direction direction) {
    if (start.size() < 2) {
        return -1;
    }
    return direction == Direction::Request ? kRtuWordsLength : RtuReplyLength(start);
}

bool MbapLengthContradictsFunction(std::span<const Byte> message, std::size_t length,
                                   Direction direction) {
    if (direction == Direction::Request || message.size() < 2 || !IsDecodedReply(message[1])) {
        return false;
    }
    const int rtuLength = RtuReplyLength(message);
    if (rtuLength < 0) {
        return length < 3;  // unit, function and count at least
    }
    return static_cast<std::size_t>(rtuLength) - kCrcSize != length;
}
