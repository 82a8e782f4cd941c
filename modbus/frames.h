#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

using Byte = std::uint8_t;

// The two framings the panel speaks. On the network link the "Protocol:" box chooses between
// them; the COM port always uses RTU.
enum class Framing : std::uint8_t { ModbusTcp = 0, ModbusRtu = 1 };

inline constexpr std::size_t kTcpFrameSize = 12;  // MBAP header (6) + unit, function, two words
inline constexpr std::size_t kRtuFrameSize = 8;   // unit, function, two words, CRC
inline constexpr std::size_t kMbapHeaderSize = 6;

// One request: a unit, a function code and two big-endian words.
struct Request {
    Byte unit;
    Byte function;
    std::uint16_t wordA;
    std::uint16_t wordB;
};

// Frames a request: 12 bytes with the MBAP header (transaction 1, protocol 0, length 6) or
// 8 bytes with the CRC, low-order byte first.
std::vector<Byte> BuildFrame(const Request& request, Framing framing);

// ---- The table of prebuilt requests ----------------------------------------------------------

inline constexpr std::size_t kCommandEntrySize = 14;
inline constexpr int kCommandCount = 12;
using CommandEntry = std::array<Byte, kCommandEntrySize>;

// Bytes 0..11 of an entry are its Modbus TCP frame, bytes 6..13 its RTU frame.
extern std::array<CommandEntry, kCommandCount> CommandTable;

enum CommandIndex : int {
    kCmdRelay1On = 0,
    kCmdRelay1Off = 1,
    kCmdQueryDi = 8,
    kCmdQueryAi = 9,
    kCmdReadParams5 = 10,
    kCmdReadParams3 = 11,
};

// The first step of every send: entry k takes the current address as its unit, except entry 10,
// which always asks unit 0xFF.
void StoreCommandUnit(int k, Byte address);

// Frames entry k for the wire: for RTU the CRC is computed and stored in the entry first.
std::span<const Byte> FrameCommand(int k, Framing framing);

// Restores the table's image of program start (tests use it; the panel never does).
void ResetCommandTable();
