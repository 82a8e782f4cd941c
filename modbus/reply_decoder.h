#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "frames.h"

// What one reply frame changes in the panel. The decoders only say it; the window applies it.
// A frame is given from its unit byte on (the MBAP header already stripped), with its length;
// bytes a layout needs beyond the end of the frame read as 0, as on a zero-filled buffer.
struct ReplyEffect {
    enum class Kind : std::uint8_t {
        None,        // nothing to decode (unknown function, exception reply, ignored frame)
        DiBits,      // function 1: the four DI indicators from diBits bits 0..3
        Indicator,   // function 5: one relay or one DI indicator
        Analog,      // function 4: both analog values
        Parameters,  // function 3 (network link only): address and the first paramCount bytes,
                     // at least one; a reply without the address byte decodes to None
    };
    enum class IndicatorSet : std::uint8_t { Relay, Di };

    Kind kind = Kind::None;
    Byte diBits = 0;
    IndicatorSet set = IndicatorSet::Relay;
    int index = 0;  // 0..3: RL1..RL4 or DI1..DI4
    bool checked = false;
    float ai1 = 0.0F;
    float ai2 = 0.0F;
    Byte address = 0;
    std::array<Byte, 10> params{};
    std::size_t paramCount = 0;  // at most 10 and never more than the bytes that arrived
};

// raw x 0.0009765625 x 5.0 in single precision: exactly raw x 5 / 1024.
float ScaleAnalog(std::uint16_t raw);

// Network link: functions 1, 3, 4 and 5; a function-5 frame whose unit differs from the
// window's address is a report of a digital input, not a relay echo.
ReplyEffect DecodeNetworkFrame(std::span<const Byte> frame, Byte windowAddress);

// Serial link: functions 1, 4 and 5 only; function 5 always names a relay.
ReplyEffect DecodeSerialFrame(std::span<const Byte> frame);

// A function-3 reply to a parameter read, on either link; None for any other frame.
ReplyEffect DecodeParamReply(std::span<const Byte> frame);

// The exception code of a refused parameter read (function 0x83); nullopt for any other frame.
std::optional<Byte> ParamReadRefusal(std::span<const Byte> frame);
