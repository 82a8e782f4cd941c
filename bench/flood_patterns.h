#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "frames.h"

// The byte streams the framer and flood figures feed: whole replies in either framing, random
// bytes, and a short unit repeated.

// The replies the panel meets: relay echo, inputs, analog values, parameter block.
std::vector<std::vector<Byte>> ReplyBodies();
// The analog-value reply alone (function 4, two registers).
std::vector<std::vector<Byte>> AnalogBodies();
// At least `size` bytes of whole frames of the bodies in turn, with the MBAP header or with the
// CRC; `frames` says how many.
std::vector<Byte> FramedPattern(const std::vector<std::vector<Byte>>& bodies, Framing framing,
                                std::size_t size, std::size_t& frames);
std::vector<Byte> RandomPattern(std::size_t size);
// "01 01 FF" repeated to `size` bytes.
std::vector<Byte> RepeatedPattern(const std::string& unit, std::size_t size);
