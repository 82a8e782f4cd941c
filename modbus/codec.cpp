#include "codec.h"

#include "crc16.h"

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
