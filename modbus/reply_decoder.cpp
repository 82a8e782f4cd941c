#include "reply_decoder.h"

#include <algorithm>
#include <array>

#include "codec.h"

namespace {

constexpr Byte kFirstCoil = 0x10;
constexpr Byte kLastCoil = 0x13;
constexpr Byte kCoilOn = 0xFF;
constexpr Byte kCoilOff = 0x00;
constexpr std::size_t kParamOffset = 3;

// A frame as a zero-filled buffer: bytes past its end read as 0.
Byte At(std::span<const Byte> frame, std::size_t index) {
    return index < frame.size() ? frame[index] : Byte{0};
}

std::uint16_t WordAt(std::span<const Byte> frame, std::size_t index) {
    const std::array<Byte, 2> word = {At(frame, index), At(frame, index + 1)};
    return ReadWord(word, 0);
}

ReplyEffect DecodeDiBits(std::span<const Byte> frame) {
    ReplyEffect effect;
    effect.kind = ReplyEffect::Kind::DiBits;
    effect.diBits = static_cast<Byte>(At(frame, 3) & 0x0FU);
    return effect;
}

ReplyEffect DecodeAnalog(std::span<const Byte> frame) {
    ReplyEffect effect;
    effect.kind = ReplyEffect::Kind::Analog;
    effect.ai1 = ScaleAnalog(WordAt(frame, 3));
    effect.ai2 = ScaleAnalog(WordAt(frame, 5));
    return effect;
}

// A write-coil echo: the coil's low address byte picks RL1..RL4 (or DI1..DI4), the value byte
// must be a plain on or off.
ReplyEffect DecodeIndicator(std::span<const Byte> frame, ReplyEffect::IndicatorSet set) {
    const Byte coil = At(frame, 3);
    const Byte value = At(frame, 4);
    if (coil < kFirstCoil || coil > kLastCoil || (value != kCoilOn && value != kCoilOff)) {
        return {};
    }
    ReplyEffect effect;
    effect.kind = ReplyEffect::Kind::Indicator;
    effect.set = set;
    effect.index = coil - kFirstCoil;
    effect.checked = value == kCoilOn;
    return effect;
}

// Only bytes that arrived and that the byte count vouches for are taken: a reply too short to
// hold the address changes nothing (a missing address would read as 0, the broadcast unit).
ReplyEffect DecodeParameters(std::span<const Byte> frame) {
    const std::size_t arrived = frame.size() > kParamOffset ? frame.size() - kParamOffset : 0;
    ReplyEffect effect;
    effect.paramCount = std::min({std::size_t{At(frame, 2)}, effect.params.size(), arrived});
    if (effect.paramCount == 0) {
        return {};
    }
    effect.kind = ReplyEffect::Kind::Parameters;
    effect.address = frame[kParamOffset];
    std::copy_n(frame.begin() + kParamOffset, effect.paramCount, effect.params.begin());
    return effect;
}

}  // namespace

float ScaleAnalog(std::uint16_t raw) {
    return static_cast<float>(raw) * 0.0009765625F * 5.0F;
}

ReplyEffect DecodeNetworkFrame(std::span<const Byte> frame, Byte windowAddress) {
    switch (At(frame, 1)) {
        case kFuncReadCoils:
            return DecodeDiBits(frame);
        case kFuncWriteCoil:
            return DecodeIndicator(frame, At(frame, 0) == windowAddress
                                              ? ReplyEffect::IndicatorSet::Relay
                                              : ReplyEffect::IndicatorSet::Di);
        case kFuncReadInput:
            return DecodeAnalog(frame);
        case kFuncReadHolding:
            return DecodeParameters(frame);
        default:
            return {};
    }
}

ReplyEffect DecodeParamReply(std::span<const Byte> frame) {
    return At(frame, 1) == kFuncReadHolding ? DecodeParameters(frame) : ReplyEffect{};
}

std::optional<Byte> ParamReadRefusal(std::span<const Byte> frame) {
    if (frame.size() < 3 || frame[1] != (kFuncReadHolding | kExceptionBit)) {
        return std::nullopt;
    }
    return frame[2];
}

ReplyEffect DecodeSerialFrame(std::span<const Byte> frame) {
    switch (At(frame, 1)) {
        case kFuncReadCoils:
            return DecodeDiBits(frame);
        case kFuncWriteCoil:
            return DecodeIndicator(frame, ReplyEffect::IndicatorSet::Relay);
        case kFuncReadInput:
            return DecodeAnalog(frame);
        default:
            return {};
    }
}
