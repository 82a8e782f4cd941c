#include "trace.h"

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

bool TraceEnabled() {
    static const bool enabled = std::getenv("KESTREL_TRACE") != nullptr;
    return enabled;
}

void TraceFrame(std::string_view link, std::string_view direction,
                std::span<const std::uint8_t> bytes) {
    if (!TraceEnabled()) {
        return;
    }
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string line = Timestamp() + ' ' + std::string(link) + ' ' + std::string(direction);
    for (const std::uint8_t byte : bytes) {
        line += ' ';
        line += kHex[byte >> 4];
        line += kHex[byte & 0x0F];
    }
    WriteLine(line + '\n');
}

void TraceNote(std::string_view text) {
    if (TraceEnabled()) {
        WriteLine(Timestamp() + ' ' + std::string(text) + '\n');
    }
}
