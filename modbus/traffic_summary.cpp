#include "traffic_summary.h"

#include <array>
#include <cstdio>

#include "codec.h"
#include "reply_decoder.h"
#include "reply_watch.h"

namespace {

constexpr std::size_t kRequestSize = 6;  // unit, function, two words
constexpr std::uint16_t kFirstRelayCoil = 0x0010;
constexpr std::uint16_t kCoilOn = 0xFF00;
constexpr std::uint16_t kCoilOff = 0x0000;
constexpr int kIndicators = 4;

std::string UnitText(Byte unit) {
    return ", unit " + std::to_string(unit);
}

std::string OnOff(bool on) {
    return on ? "on" : "off";
}

std::string Hex4(std::uint16_t word) {
    std::array<char, 8> text{};
    std::snprintf(text.data(), text.size(), "0x%04X", unsigned{word});
    return text.data();
}

// As the window's AI fields show a value.
std::string AnalogText(float value) {
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "%g", static_cast<double>(value));
    return text.data();
}

std::string FunctionText(Byte function) {
    return "function " + std::to_string(function);
}

// What a request of this function is called, also in the refusal of one.
std::string RequestName(Byte function) {
    switch (function) {
        case kFuncReadCoils:
            return "query DI";
        case kFuncReadHolding:
            return "parameter read";
        case kFuncReadInput:
            return "query AI";
        case kFuncWriteCoil:
            return "relay write";
        case kFuncWriteRegister:
            return "parameter write";
        default:
            return FunctionText(function);
    }
}

// "RL1 on", or the coil and value when they name no relay state.
std::string CoilText(std::uint16_t coil, std::uint16_t value) {
    const int relay = coil - kFirstRelayCoil;
    if (relay >= 0 && relay < kIndicators && (value == kCoilOn || value == kCoilOff)) {
        return "RL" + std::to_string(relay + 1) + ' ' + OnOff(value == kCoilOn);
    }
    return "coil " + Hex4(coil) + " = " + Hex4(value);
}

// A request, or the echo of a write, by its unit, function and two words.
std::string WordsText(std::span<const Byte> message) {
    const Byte function = message[1];
    const std::uint16_t first = ReadWord(message, 2);
    const std::uint16_t second = ReadWord(message, 4);
    switch (function) {
        case kFuncWriteCoil:
            return "write " + CoilText(first, second);
        case kFuncReadHolding:
            return "read " + std::to_string(second) + " parameter registers from " + Hex4(first);
        case kFuncWriteRegister:
            return "write parameter register " + Hex4(first) + " = " + Hex4(second);
        case kFuncReadCoils:
        case kFuncReadInput:
            return RequestName(function);
        default:
            return FunctionText(function) + ' ' + Hex4(first) + ' ' + Hex4(second);
    }
}

std::string DiBitsText(Byte bits) {
    std::string text = "DI:";
    for (int n = 0; n < kIndicators; ++n) {
        text += (n == 0 ? " DI" : ", DI") + std::to_string(n + 1) + ' ' +
                OnOff(((bits >> n) & 1U) != 0);
    }
    return text;
}

// The parameter block as far as the reply carries it.
std::string ParametersText(const ReplyEffect& effect) {
    const auto& p = effect.params;
    const std::size_t count = effect.paramCount;
    std::string text = "parameters: address " + std::to_string(p[0]);
    const auto add = [&](std::size_t needed, const std::string& field) {
        if (count >= needed) {
            text += ", " + field;
        }
    };
    add(2, "DI upload " + OnOff(p[1] != 0));
    add(3, "DI upload address " + std::to_string(p[2]));
    add(4, "baud index " + std::to_string(p[3]));
    add(5, "version " + std::to_string(p[4]));
    add(8, "AI1 upload " + std::to_string(ReadWord(p, 6)) + " ms");
    add(10, "AI2 upload " + std::to_string(ReadWord(p, 8)) + " ms");
    return text;
}

std::string ExceptionText(std::span<const Byte> message) {
    const Byte code = message.size() > 2 ? message[2] : Byte{0};
    return "exception " + std::to_string(code) + " to " +
           RequestName(static_cast<Byte>(message[1] & ~kExceptionBit)) + " (" +
           ExceptionName(code) + ")" + UnitText(message[0]);
}

std::string ReplyText(std::span<const Byte> message, Byte windowAddress) {
    if ((message[1] & kExceptionBit) != 0) {
        return ExceptionText(message);
    }
    const ReplyEffect effect = DecodeNetworkFrame(message, windowAddress);
    switch (effect.kind) {
        case ReplyEffect::Kind::DiBits:
            return DiBitsText(effect.diBits) + UnitText(message[0]);
        case ReplyEffect::Kind::Indicator: {
            const std::string state =
                std::to_string(effect.index + 1) + ' ' + OnOff(effect.checked);
            return effect.set == ReplyEffect::IndicatorSet::Relay
                       ? "echo RL" + state + UnitText(message[0])
                       : "DI report: DI" + state;
        }
        case ReplyEffect::Kind::Analog:
            return "AI " + AnalogText(effect.ai1) + " / " + AnalogText(effect.ai2);
        case ReplyEffect::Kind::Parameters:
            return ParametersText(effect) + UnitText(message[0]);
        case ReplyEffect::Kind::None:
            break;
    }
    if (message.size() >= kRequestSize &&
        (message[1] == kFuncWriteCoil || message[1] == kFuncWriteRegister)) {
        return "echo " + WordsText(message) + UnitText(message[0]);
    }
    return FunctionText(message[1]) + UnitText(message[0]);
}

std::string ByteCount(std::size_t count) {
    return std::to_string(count) + (count == 1 ? " byte" : " bytes");
}

// The unit, function and data of a traced frame.
std::span<const Byte> TracedMessage(Framing framing, std::span<const Byte> bytes) {
    if (framing == Framing::ModbusTcp) {
        return bytes.size() >= kMbapHeaderSize ? bytes.subspan(kMbapHeaderSize)
                                               : std::span<const Byte>{};
    }
    return MessageOf(bytes, framing);
}

}  // namespace

std::string SummarizeFrame(std::string_view direction, Framing framing, std::span<const Byte> bytes,
                           Byte windowAddress) {
    if (direction == "drop") {
        return "dropped " + ByteCount(bytes.size());
    }
    const std::span<const Byte> message = TracedMessage(framing, bytes);
    if (message.size() < 2) {
        return "frame of " + ByteCount(bytes.size());
    }
    if (direction == "tx") {
        return message.size() >= kRequestSize ? WordsText(message) + UnitText(message[0])
                                              : FunctionText(message[1]) + UnitText(message[0]);
    }
    return ReplyText(message, windowAddress);
}
