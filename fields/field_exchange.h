#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The conversions of the dialogs' field exchange, as plain functions so that every dialog (and
// every test) uses the same rules. Texts are UTF-8; only the first 31 characters are looked at.

inline constexpr const char* kRefuseUnsigned = "“请填入一个正整数。”";
inline constexpr const char* kRefuseByte = "“请填入一个在0和255之间的整数。”";
inline constexpr const char* kRefuseFloat = "请键入一个数。";
inline constexpr const char* kRefuseWord = "“请填入一个在0和65535之间的整数。”";

// Leading blanks and tabs are skipped, "-" is refused, an optional "+" is taken, then decimal
// digits, then only blanks and tabs. A value of 0 must be spelled with a leading "0" (so an empty
// field is refused). Values past 4294967295 are taken as 4294967295.
std::optional<std::uint32_t> ParseUnsignedField(std::string_view text);
// As ParseUnsignedField, and above 255 refused.
std::optional<std::uint8_t> ParseByteField(std::string_view text);
// As ParseUnsignedField, and above 65535 (a 16-bit register) refused.
std::optional<std::uint16_t> ParseWordField(std::string_view text);
// An optionally signed decimal number with optional fraction and exponent, then only blanks
// and tabs; a value of 0 must be spelled with a leading "0".
std::optional<float> ParseFloatField(std::string_view text);

std::string FormatUnsignedField(std::uint32_t value);
// "%.*g" with precision 6: 4.9951171875 -> "4.99512", 0 -> "0".
std::string FormatFloatField(float value);
