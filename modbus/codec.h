#pragma once

// The one place of the Modbus wire rules: big-endian words, the CRC field of an RTU frame, the
// MBAP header, and the length a frame of each function implies, for requests and for replies.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "frames.h"

// Which way a frame travels: requests go to a module, replies (and uploads) come from it.
enum class Direction : std::uint8_t { Request, Reply };

inline constexpr std::size_t kCrcSize = 2;
inline constexpr std::uint16_t kMbapMinLength = 2;    // unit and function
inline constexpr std::uint16_t kMbapMaxLength = 254;  // unit and the largest PDU
inline constexpr std::size_t kMbapTransactionAt = 0;
inline constexpr std::size_t kMbapProtocolAt = 2;
inline constexpr std::size_t kMbapLengthAt = 4;
inline constexpr int kRtuWordsLength = static_cast<int>(kRtuFrameSize);  // two words
inline constexpr int kRtuExceptionLength = 5;
inline constexpr int kRtuCountedOverhead = 5;  // unit, function, count, two CRC bytes
inline constexpr Byte kExceptionBit = 0x80;

// The functions the modules serve.
inline constexpr Byte kFuncReadCoils = 1;
inline constexpr Byte kFuncReadHolding = 3;
inline constexpr Byte kFuncReadInput = 4;
inline constexpr Byte kFuncWriteCoil = 5;
inline constexpr Byte kFuncWriteRegister = 6;

// The framer asks the rules below at every byte of a stream, so they are inline.

// ---- Big-endian words --------------------------------------------------------------------

// The word whose high-order byte is bytes[at] and low-order byte bytes[at + 1].
inline std::uint16_t ReadWord(std::span<const Byte> bytes, std::size_t at) {
    return static_cast<std::uint16_t>((bytes[at] << 8) | bytes[at + 1]);
}
inline void WriteWord(std::span<Byte> bytes, std::size_t at, std::uint16_t word) {
    bytes[at] = static_cast<Byte>(word >> 8);
    bytes[at + 1] = static_cast<Byte>(word & 0xFFU);
}
void AppendWord(std::vector<Byte>& bytes, std::uint16_t word);

// ---- The CRC field -----------------------------------------------------------------------
// On the wire the CRC is the big-endian word of Crc16Modbus's result.

// Writes the CRC of all but the last two bytes of `frame` into those two.
void StoreCrc(std::span<Byte> frame);
void AppendCrc(std::vector<Byte>& frame);
// Whether the last two bytes of `frame` are the CRC of the bytes before them (at least one).
bool CrcMatches(std::span<const Byte> frame);
// Whether the last two bytes of `frame` carry `crc`, worked out some other way.
inline bool CrcFieldIs(std::span<const Byte> frame, std::uint16_t crc) {
    return frame.size() >= kCrcSize && ReadWord(frame, frame.size() - kCrcSize) == crc;
}

// ---- Framing a message ---------------------------------------------------------------------
// A message is the unit, the function code and the data bytes.

// The MBAP header (transaction, protocol 0, length) before the message.
std::vector<Byte> EncodeMbap(std::span<const Byte> message, std::uint16_t transactionId);
// The message with its CRC after it.
std::vector<Byte> EncodeRtu(std::span<const Byte> message);
// The transaction id is used by the MBAP header only.
std::vector<Byte> EncodeMessage(std::span<const Byte> message, Framing framing,
                                std::uint16_t transactionId);
// The message inside a frame as the stream framer hands it on: an MBAP frame comes without its
// header already, an RTU frame loses its CRC.
std::span<const Byte> MessageOf(std::span<const Byte> frame, Framing framing);

inline std::uint16_t MbapTransactionId(std::span<const Byte> header) {
    return ReadWord(header, kMbapTransactionAt);
}
// The header's length field: unit and PDU.
inline std::uint16_t MbapLength(std::span<const Byte> header) {
    return ReadWord(header, kMbapLengthAt);
}
// Protocol 0 and a length of unit and function at least, of the largest PDU at most.
inline bool IsPlausibleMbapHeader(std::span<const Byte> header) {
    const std::uint16_t length = MbapLength(header);
    return ReadWord(header, kMbapProtocolAt) == 0 && length >= kMbapMinLength &&
           length <= kMbapMaxLength;
}

// ---- Lengths the function implies ------------------------------------------------------------

// The length of the RTU reply that starts with unit and function (and the byte count of
// functions 1, 3 and 4), CRC included: 8 for functions 5 and 6, 5 + count for 1, 3 and 4, 5 for
// an exception reply; 0 when the function is unknown, -1 when the count has not come. Needs the
// unit and function.
inline int RtuReplyLength(std::span<const Byte> start) {
    const Byte function = start[1];
    if ((function & kExceptionBit) != 0) {
        return kRtuExceptionLength;
    }
    switch (function) {
        case kFuncWriteCoil:
        case kFuncWriteRegister:
            return kRtuWordsLength;
        case kFuncReadCoils:
        case kFuncReadHolding:
        case kFuncReadInput:
            return start.size() < 3 ? -1 : kRtuCountedOverhead + start[2];
        default:
            return 0;
    }
}

// Length of the RTU frame that starts with unit, function (and, for a reply, the byte count of
// functions 1, 3 and 4), CRC included; 0 when the function is unknown, -1 when more bytes are
// needed to tell. A request is 8 bytes whatever its function: every request the module serves
// (functions 1 to 6) has two words, and one of another function is still framed so that it can
// be refused.
inline int RtuFrameLength(std::span<const Byte> start, Direction direction) {
    if (start.size() < 2) {
        return -1;
    }
    return direction == Direction::Request ? kRtuWordsLength : RtuReplyLength(start);
}

// The replies the panel decodes: functions 1, 3, 4, 5 and exceptions.
inline bool IsDecodedReply(Byte function) {
    return (function & kExceptionBit) != 0 || function == kFuncReadCoils ||
           function == kFuncReadHolding || function == kFuncReadInput || function == kFuncWriteCoil;
}

// For a reply the panel decodes, whether the MBAP length contradicts the one its function
// implies; false while the bytes to tell have not come, and for requests, whose length is the
// header's alone.
inline bool MbapLengthContradictsFunction(std::span<const Byte> message, std::size_t length,
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
