#include "trace.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string Timestamp() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(now).count();
    char text[32];
    std::snprintf(text, sizeof text, "%lld.%06lld", static_cast<long long>(micros / 1000000),
                  static_cast<long long>(micros % 1000000));
    return text;
}

void WriteLine(const std::string& line) {
    std::fputs(line.c_str(), stderr);  // one call per line: lines of two threads never mix
}

}  // namespace

bool TraceSwitchedOnBy(const char* value) {
    if (value == nullptr) {
        return false;
    }
    std::string word(value);
    const auto blank = [](unsigned char c) { return std::isspace(c) != 0; };
    word.erase(std::find_if_not(word.rbegin(), word.rend(), blank).base(), word.end());
    word.erase(word.begin(), std::find_if_not(word.begin(), word.end(), blank));
    std::transform(word.begin(), word.end(), word.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    static constexpr std::array<std::string_view, 5> kOff = {"", "0", "no", "off", "false"};
    return std::find(kOff.begin(), kOff.end(), word) == kOff.end();
}

std::string HexText(std::span<const std::uint8_t> bytes) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string text;
    for (const std::uint8_t byte : bytes) {
        if (!text.empty()) {
            text += ' ';
        }
        text += kHex[byte >> 4];
        text += kHex[byte & 0x0F];
    }
    return text;
}

bool TraceEnabled() {
    static const bool enabled = TraceSwitchedOnBy(std::getenv("KESTREL_TRACE"));
    return enabled;
}

void TraceFrame(std::string_view link, std::string_view direction,
                std::span<const std::uint8_t> bytes) {
    if (!TraceEnabled()) {
        return;
    }
    std::string line = Timestamp() + ' ' + std::string(link) + ' ' + std::string(direction);
    if (!bytes.empty()) {
        line += ' ' + HexText(bytes);
    }
    WriteLine(line + '\n');
}

void TraceNote(std::string_view text) {
    if (TraceEnabled()) {
        WriteLine(Timestamp() + ' ' + std::string(text) + '\n');
    }
}
