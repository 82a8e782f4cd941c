#pragma once

#include <array>
#include <cstdint>

// The eight line rates of the serial module, in the order of every "Baudrate:" list (item i is
// baud-rate index i) and of the search, with the read multiplier m of each search step: a read
// of 32 bytes waits 33*m ms.
struct SerialRate {
    std::uint32_t baud;
    std::uint32_t searchReadMultiplierMs;
};

inline constexpr std::array<SerialRate, 8> kSerialRates = {{
    {1200, 25},
    {2400, 8},
    {4800, 5},
    {9600, 4},
    {19200, 3},
    {38400, 3},
    {57600, 2},
    {115200, 2},
}};
