#include "crc16.h"

#include <array>

#include "codec.h"

namespace {

struct CrcTables {
    std::array<std::uint8_t, 256> high{};
    std::array<std::uint8_t, 256> low{};
};

// The reflected polynomial 0xA001 gives for each index a 16-bit entry; the table of "high-order"
// CRC bytes holds its low byte and the table of "low-order" bytes its high byte, exactly as the
// tables printed in the Modbus serial line guide.
constexpr CrcTables MakeTables() {
    CrcTables tables;
    for (unsigned index = 0; index < 256; ++index) {
        unsigned crc = index;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1U) != 0 ? (crc >> 1) ^ 0xA001U : crc >> 1;
        }
        tables.high[index] = static_cast<std::uint8_t>(crc & 0xFFU);
        tables.low[index] = static_cast<std::uint8_t>(crc >> 8);
    }
    return tables;
}

constexpr CrcTables kTables = MakeTables();
static_assert(kTables.high[1] == 0xC1 && kTables.low[1] == 0xC0);
static_assert(kTables.high[255] == 0x40 && kTables.low[255] == 0x40);

}  // namespace

std::uint16_t Crc16Modbus(const std::uint8_t* data, std::uint16_t count, std::uint16_t init) {
    std::uint8_t hi = static_cast<std::uint8_t>(init >> 8);
    std::uint8_t lo = static_cast<std::uint8_t>(init & 0xFFU);
    for (std::uint16_t n = 0; n < count; ++n) {
        const std::uint8_t index = static_cast<std::uint8_t>(data[n] ^ hi);
        hi = static_cast<std::uint8_t>(kTables.high[index] ^ lo);
        lo = kTables.low[index];
    }
    return ReadWord(std::array<std::uint8_t, 2>{hi, lo}, 0);  // hi is the byte sent first
}
