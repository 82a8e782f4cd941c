#include "field_exchange.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace {

constexpr std::size_t kMaxFieldChars = 31;

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}
bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// The first 31 characters of a UTF-8 text (a character is a lead byte and its continuations).
std::string_view FirstChars(std::string_view text) {
    std::size_t chars = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if ((byte & 0xC0U) != 0x80U && chars++ == kMaxFieldChars) {
            return text.substr(0, i);
        }
    }
    return text;
}

std::size_t SkipBlanks(std::string_view text, std::size_t pos) {
    while (pos < text.size() && IsBlank(text[pos])) {
        ++pos;
    }
    return pos;
}

bool OnlyBlanksFrom(std::string_view text, std::size_t pos) {
    return SkipBlanks(text, pos) == text.size();
}

std::size_t SkipDigits(std::string_view text, std::size_t pos) {
    while (pos < text.size() && IsDigit(text[pos])) {
        ++pos;
    }
    return pos;
}

// Length of the float syntax [+-]digits[.digits][(e|E)[+-]digits] at the start of text, 0 if none.
std::size_t FloatSyntaxLength(std::string_view text) {
    std::size_t pos = 0;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        ++pos;
    }
    const std::size_t intEnd = SkipDigits(text, pos);
    std::size_t end = intEnd;
    bool digits = intEnd > pos;
    if (end < text.size() && text[end] == '.') {
        const std::size_t fracEnd = SkipDigits(text, end + 1);
        digits = digits || fracEnd > end + 1;
        end = fracEnd;
    }
    if (!digits) {
        return 0;
    }
    if (end < text.size() && (text[end] == 'e' || text[end] == 'E')) {
        std::size_t expPos = end + 1;
        if (expPos < text.size() && (text[expPos] == '+' || text[expPos] == '-')) {
            ++expPos;
        }
        const std::size_t expEnd = SkipDigits(text, expPos);
        if (expEnd > expPos) {
            end = expEnd;
        }
    }
    return end;
}

}  // namespace

std::optional<std::uint32_t> ParseUnsignedField(std::string_view text) {
    const std::string_view field = FirstChars(text);
    const std::size_t start = SkipBlanks(field, 0);
    std::size_t pos = start;
    if (pos < field.size() && field[pos] == '+') {
        ++pos;
    }
    const std::size_t end = SkipDigits(field, pos);
    if (end == pos || !OnlyBlanksFrom(field, end)) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (std::size_t i = pos; i < end; ++i) {
        value = value * 10U + static_cast<unsigned>(field[i] - '0');
        if (value > std::numeric_limits<std::uint32_t>::max()) {
            value = std::numeric_limits<std::uint32_t>::max();
        }
    }
    if (value == 0 && field[start] != '0') {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

std::optional<std::uint8_t> ParseByteField(std::string_view text) {
    const auto value = ParseUnsignedField(text);
    if (!value || *value > 255U) {
        return std::nullopt;
    }
    return static_cast<std::uint8_t>(*value);
}

std::optional<std::uint16_t> ParseWordField(std::string_view text) {
    const auto value = ParseUnsignedField(text);
    if (!value || *value > 0xFFFFU) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(*value);
}

std::optional<float> ParseFloatField(std::string_view text) {
    const std::string_view field = FirstChars(text);
    const std::size_t start = SkipBlanks(field, 0);
    const std::string_view number = field.substr(start);
    const std::size_t length = FloatSyntaxLength(number);
    if (length == 0 || !OnlyBlanksFrom(number, length)) {
        return std::nullopt;
    }
    const std::string digits(number.substr(0, length));
    const auto value = static_cast<float>(std::strtod(digits.c_str(), nullptr));
    if (value == 0.0F && number[0] != '0') {
        return std::nullopt;
    }
    return value;
}

std::string FormatUnsignedField(std::uint32_t value) {
    return std::to_string(value);
}

std::string FormatFloatField(float value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*g", 6, static_cast<double>(value));
    return text;
}
