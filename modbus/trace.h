#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

// The traffic trace for field engineers: with the environment variable KESTREL_TRACE switched on,
// every frame sent and received, and every run of bytes dropped while resynchronising, goes to
// standard error as one line: monotonic time in seconds with microseconds, the link, the
// direction, hex.
//   12.345678 TCP  tx 00 01 00 00 00 06 01 05 00 10 FF 00
// Nothing is written while the variable is unset, empty, or 0, no, off or false (in any case).
bool TraceEnabled();

// The bytes as the trace shows them: two upper-case hex digits each, one blank between
// ("01 05 00 10").
std::string HexText(std::span<const std::uint8_t> bytes);

// Whether a value of KESTREL_TRACE switches the trace on (null: the variable is unset).
bool TraceSwitchedOnBy(const char* value);

// direction: "tx", "rx" or "drop".
void TraceFrame(std::string_view link, std::string_view direction,
                std::span<const std::uint8_t> bytes);
void TraceNote(std::string_view text);
