#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "frames.h"

// The byte image of holding registers 0x003F..0x0043, each register high byte first:
//  0 slave address, 1 DI initiative upload enable, 2 DI upload address, 3 baud-rate index,
//  4 firmware version, 5 unused, 6..7 AI1 upload period (ms), 8..9 AI2 upload period (ms).
struct DeviceParams {
    std::array<Byte, 10> bytes{};
};

extern DeviceParams g_DeviceParams;

inline constexpr std::uint16_t kParamFirstRegister = 0x003F;

inline constexpr Byte kParamBroadcastUnit = 0xFF;

// The parameter read: quantity 3 or 5 registers from 0x003F, sent to unit 0xFF by the panel
// (the command-line tool asks a unit it is told instead).
std::vector<Byte> ParamReadFrame(std::uint16_t quantity, Framing framing,
                                 Byte unit = kParamBroadcastUnit);

// The four write-single-register frames for a block, in the order they go out:
// 0x0040 (bytes 2,3), 0x0042 (6,7), 0x0043 (8,9), 0x003F (0,1). Every frame carries `unit`,
// the address in force before the write.
std::vector<std::vector<Byte>> ParamWriteFrames(const DeviceParams& params, Byte unit,
                                                Framing framing);
