// The TCP link's receive path as the link runs it: the stream framer in the two framings the
// link sets (Modbus TCP by the MBAP header, or RTU framing with its CRC checked), every frame to
// the network decoder. data[0]: bit 0 the mode, the rest the size of the pieces the stream arrives
// in; data[1]: the address in the window; the rest is the stream.
#include <cstddef>
#include <cstdint>
#include <span>

#include "framed_stream.h"
#include "reply_decoder.h"

namespace {

constexpr Byte kReadCoils = 1;
constexpr Byte kReadHolding = 3;
constexpr Byte kReadInput = 4;
constexpr Byte kWriteCoil = 5;
constexpr float kLargestAnalog = 65535.0F * 5.0F / 1024.0F;

using Kind = ReplyEffect::Kind;

// The decoder acts only on the four functions the panel asks for, each in its own way.
void CheckEffect(std::span<const Byte> frame, Byte windowAddress, const ReplyEffect& effect) {
    const Byte function = frame[1];
    const Kind expected = function == kReadCoils     ? Kind::DiBits
                          : function == kWriteCoil   ? Kind::Indicator
                          : function == kReadInput   ? Kind::Analog
                          : function == kReadHolding ? Kind::Parameters
                                                     : Kind::None;
    TrapIf(effect.kind != Kind::None && effect.kind != expected);
    if (effect.kind == Kind::Indicator) {
        const auto set = frame[0] == windowAddress ? ReplyEffect::IndicatorSet::Relay
                                                   : ReplyEffect::IndicatorSet::Di;
        TrapIf(effect.set != set || effect.index < 0 || effect.index > 3);
    }
    if (effect.kind == Kind::Analog) {
        for (const float value : {effect.ai1, effect.ai2}) {
            TrapIf(!(value >= 0.0F && value <= kLargestAnalog));
        }
    }
    if (effect.kind == Kind::Parameters) {
        // Never more than the block holds, nor than the reply carried, and exactly those bytes.
        const std::size_t carried = frame.size() > 3 ? frame.size() - 3 : 0;
        TrapIf(effect.paramCount > effect.params.size() || effect.paramCount > carried);
        for (std::size_t i = 0; i < effect.paramCount; ++i) {
            TrapIf(effect.params[i] != frame[3 + i]);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    const Framing framing = (data[0] & 1U) != 0 ? Framing::ModbusRtu : Framing::ModbusTcp;
    const std::size_t piece = 1U + (data[0] >> 1);
    const Byte windowAddress = data[1];
    const std::span<const Byte> stream(data + 2, size - 2);
    for (const auto& frame : FramesWhateverTheCut(framing, stream, piece)) {
        CheckEffect(frame, windowAddress, DecodeNetworkFrame(frame, windowAddress));
    }
    return 0;
}
