// The serial reader's path: the CRC-checking reassembler feeding the serial decoder. data[0]:
// the size of the pieces the stream arrives in; the rest is the stream.
#include <cstddef>
#include <cstdint>
#include <span>

#include "framed_stream.h"
#include "reply_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    const std::size_t piece = 1U + data[0];
    const std::span<const Byte> stream(data + 1, size - 1);
    for (const auto& frame : FramesWhateverTheCut(Framing::ModbusRtu, stream, piece)) {
        const ReplyEffect effect = DecodeSerialFrame(frame);
        TrapIf(effect.kind == ReplyEffect::Kind::Parameters);  // the serial link never takes 3
        TrapIf(effect.kind == ReplyEffect::Kind::Indicator &&
               (effect.set != ReplyEffect::IndicatorSet::Relay || effect.index < 0 ||
                effect.index > 3));
    }
    return 0;
}
