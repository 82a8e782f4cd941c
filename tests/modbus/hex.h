#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "frames.h"
#include "trace.h"

// "01 05 00 10" -> the bytes; spaces and '|' separate, they carry no meaning.
inline std::vector<Byte> Hex(std::string_view text) {
    std::vector<Byte> bytes;
    std::string digits;
    for (const char c : text) {
        if (c == ' ' || c == '|') {
            continue;
        }
        digits += c;
        if (digits.size() == 2) {
            bytes.push_back(static_cast<Byte>(std::stoul(digits, nullptr, 16)));
            digits.clear();
        }
    }
    return bytes;
}

template <typename Bytes>
std::string ToHex(const Bytes& bytes) {
    return HexText(std::span<const Byte>(bytes.data(), bytes.size()));
}
