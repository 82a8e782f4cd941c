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

// ---- Big-endian words --------------------------------------------------------------------

// The word whose high-order byte is bytes[at] and low-order byte bytes[at + 1].
std::uint16_t ReadWord(std::span<const Byte> bytes, std::size_t at);
void WriteWord(std::span<Byte> bytes, std::size_t at, std::uint16_t word);
void AppendWord(std::vector<Byte>& bytes, std::uint16_t word);

// ---- The CRC field -----------------------------------------------------------------------
// On the wire the CRC is the big-endian word of Crc16Modbus's result.

// Writes the CRC of all but the last two bytes of `frame` into those two.
void StoreCrc(std::span<Byte> frame);
void AppendCrc(std::vector<Byte>& frame);
// Whether the last two bytes of `frame` are the CRC of the bytes before them (at least one).
bool CrcMatches(std::span<const Byte> frame);
// Whether the last two bytes of `frame` carry `crc`, worked out some other way.
bool CrcFieldIs(std::span<const Byte> frame, std::uint16_t crc);

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

std::uint16_t MbapTransactionId(std::span<const Byte> header);
// The header's length field: unit and PDU.
std::uint16_t MbapLength(std::span<const Byte> header);
// Protocol 0 and a length of unit and function at least, of the largest PDU at most.
bool IsPlausibleMbapHeader(std::span<const Byte> header);

// ---- Lengths the function implies ------------------------------------------------------------

// Length of the RTU frame that starts with unit, function (and, for a reply, the byte count of
// functions 1, 3 and 4), CRC included; 0 when the function is unknown, -1 when more bytes are
// needed to tell.
// Replies: 8 for functions 5 and 6, 5 + count for 1, 3 and 4, 5 for an exception reply.
// Requests: 8 whatever the function: every request the module serves (functions 1 to 6) has
// two words, and one of another function is still framed so that it can be refused.
int RtuFrameLength(std::span<const Byte> start, Direction direction);

// For a reply the panel decodes (functions 1, 3, 4, 5, exceptions), whether the MBAP length
// contradicts the one its function implies; false while the bytes to tell have not come, and
// for requests, whose length is the header's alone.
bool MbapLengthContradictsFunction(std::span<const Byte> message, std::size_t length,
                                   Direction direction);
