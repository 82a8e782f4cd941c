#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "frames.h"
#include "module_model.h"

namespace sim {

// One request taken out of the byte stream: the message and, in MBAP framing, the transaction
// id the reply has to echo.
struct FramedRequest {
    Message message;
    std::uint16_t transactionId = 0;
};

// Cuts requests out of a byte stream that may arrive in pieces, glued together or with garbage in
// between. MBAP frames are delimited by their length field; RTU requests are 8 bytes with a valid
// CRC. Anything that does not look like a frame start costs one byte and the scan goes on.
class RequestFramer {
  public:
    static constexpr std::size_t kBufferLimit = 4096;
    // The simulator appends at most this much at a time (one read) and takes every complete
    // request out before the next, so the buffer never reaches its limit.
    static constexpr std::size_t kLargestAppend = 1024;

    explicit RequestFramer(Framing framing) : framing_(framing) {}

    // Buffers incoming bytes; when the buffer would overflow the oldest bytes are dropped.
    void Append(std::span<const Byte> bytes);
    // The next complete request, or nothing until more bytes arrive.
    std::optional<FramedRequest> Next();

    std::size_t Buffered() const { return buffer_.size(); }
    Framing framing() const { return framing_; }

  private:
    std::optional<FramedRequest> NextMbap();
    std::optional<FramedRequest> NextRtu();
    void Drop(std::size_t count);

    Framing framing_;
    std::vector<Byte> buffer_;
};

// Frames a reply or upload: MBAP header with the given transaction id, or the CRC appended.
std::vector<Byte> FrameMessage(const Message& message, Framing framing,
                               std::uint16_t transactionId);

// True when the last two bytes of `frame` are the CRC of the bytes before them.
bool RtuCrcMatches(std::span<const Byte> frame);

}  // namespace sim
