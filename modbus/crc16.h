#pragma once

#include <cstdint>

// CRC-16/MODBUS by the two-table method of the Modbus serial line: the high-order byte of the
// result is the CRC byte that goes on the wire first, the low-order byte the one that follows.
std::uint16_t Crc16Modbus(const std::uint8_t* data, std::uint16_t count,
                          std::uint16_t init = 0xFFFF);
