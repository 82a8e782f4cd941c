// The serial reader's path: the CRC-checking reassembler feeding the serial decoder.
#include <cstddef>
#include <cstdint>
#include <span>

#include "crc16.h"
#include "reply_decoder.h"
#include "stream_framer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    const std::size_t piece = 1U + data[0];
    StreamFramer framer(StreamFramer::Mode::RtuChecked, [](std::span<const Byte> frame) {
        // Only frames with a good CRC may come through.
        const std::uint16_t crc =
            Crc16Modbus(frame.data(), static_cast<std::uint16_t>(frame.size() - 2));
        if (frame.size() < 4 || frame[frame.size() - 2] != (crc >> 8) ||
            frame[frame.size() - 1] != (crc & 0xFF)) {
            __builtin_trap();
        }
        const ReplyEffect effect = DecodeSerialFrame(frame);
        if (effect.kind == ReplyEffect::Kind::Parameters) {
            __builtin_trap();  // the serial link never takes function 3
        }
    });
    const std::span<const Byte> stream(data + 1, size - 1);
    for (std::size_t at = 0; at < stream.size(); at += piece) {
        framer.Feed(stream.subspan(at, std::min(piece, stream.size() - at)));
    }
    return 0;
}
