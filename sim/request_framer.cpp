#include "request_framer.h"

#include "crc16.h"

namespace sim {

namespace {

constexpr std::uint16_t kMinMbapLength = 2;    // unit and function
constexpr std::uint16_t kMaxMbapLength = 254;  // unit and the largest PDU

std::uint16_t WordAt(const std::vector<Byte>& bytes, std::size_t at) {
    return static_cast<std::uint16_t>((bytes[at] << 8) | bytes[at + 1]);
}

}  // namespace

bool RtuCrcMatches(std::span<const Byte> frame) {
    if (frame.size() < 3) return false;
    const auto body = static_cast<std::uint16_t>(frame.size() - 2);
    const std::uint16_t crc = Crc16Modbus(frame.data(), body);
    return frame[body] == static_cast<Byte>(crc >> 8) &&
           frame[body + 1U] == static_cast<Byte>(crc & 0xFFU);
}

void RequestFramer::Append(std::span<const Byte> bytes) {
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
    if (buffer_.size() > kBufferLimit) Drop(buffer_.size() - kBufferLimit);
}

void RequestFramer::Drop(std::size_t count) {
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(count));
}

std::optional<FramedRequest> RequestFramer::Next() {
    return framing_ == Framing::ModbusTcp ? NextMbap() : NextRtu();
}

std::optional<FramedRequest> RequestFramer::NextMbap() {
    while (buffer_.size() >= kMbapHeaderSize) {
        const std::uint16_t protocol = WordAt(buffer_, 2);
        const std::uint16_t length = WordAt(buffer_, 4);
        if (protocol != 0 || length < kMinMbapLength || length > kMaxMbapLength) {
            Drop(1);
            continue;
        }
        if (buffer_.size() < kMbapHeaderSize + length) return std::nullopt;
        FramedRequest request;
        request.transactionId = WordAt(buffer_, 0);
        request.message.assign(buffer_.begin() + kMbapHeaderSize,
                               buffer_.begin() + kMbapHeaderSize + length);
        Drop(kMbapHeaderSize + length);
        return request;
    }
    return std::nullopt;
}

std::optional<FramedRequest> RequestFramer::NextRtu() {
    // Every request the module understands is 8 bytes on the serial line; a request of another
    // function with a valid CRC is still taken so it can be refused with an exception.
    while (buffer_.size() >= kRtuFrameSize) {
        const std::span<const Byte> candidate(buffer_.data(), kRtuFrameSize);
        if (!RtuCrcMatches(candidate)) {
            Drop(1);
            continue;
        }
        FramedRequest request;
        request.message.assign(buffer_.begin(), buffer_.begin() + kRtuFrameSize - 2);
        Drop(kRtuFrameSize);
        return request;
    }
    return std::nullopt;
}

std::vector<Byte> FrameMessage(const Message& message, Framing framing,
                               std::uint16_t transactionId) {
    std::vector<Byte> frame;
    if (framing == Framing::ModbusTcp) {
        const auto length = static_cast<std::uint16_t>(message.size());
        frame.reserve(kMbapHeaderSize + message.size());
        for (const Byte byte :
             {static_cast<Byte>(transactionId >> 8), static_cast<Byte>(transactionId & 0xFFU),
              Byte{0}, Byte{0}, static_cast<Byte>(length >> 8),
              static_cast<Byte>(length & 0xFFU)}) {
            frame.push_back(byte);
        }
        for (const Byte byte : message) {  // one by one: GCC 12 misreads a range insert at -O2
            frame.push_back(byte);
        }
        return frame;
    }
    frame = message;
    const std::uint16_t crc = Crc16Modbus(frame.data(), static_cast<std::uint16_t>(frame.size()));
    frame.push_back(static_cast<Byte>(crc >> 8));
    frame.push_back(static_cast<Byte>(crc & 0xFFU));
    return frame;
}

}  // namespace sim
