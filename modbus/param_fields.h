#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "device_params.h"

// The parameter block as the "Advanced" dialog shows and edits it, and the dialog's own check,
// for every front end that edits a block (the dialog, the command-line tool).
struct ParamFields {
    Byte slaveAddr = 0;
    Byte uploadEnable = 0;
    Byte uploadAddr = 0;
    int baudIndex = -1;  // item of the rate list 1200..115200, -1 when none is chosen
    std::uint32_t ai1Period = 0;
    std::uint32_t ai2Period = 0;
};

inline constexpr std::size_t kBaudIndexCount = 8;  // the eight rates of the serial module
inline constexpr Byte kNoBaudSelected = 0xFF;
inline constexpr const char* kSameAddressText = "设备地址与上报地址不能一致!";

// What a showing starts from: byte 3 outside 0..7 chooses no rate.
ParamFields FieldsOfBlock(const DeviceParams& params);
// Bytes 0..3 and 6..9 from the fields (no rate: 0xFF, periods cut to 16 bits); bytes 4 and 5
// are left as they are.
void StoreFields(const ParamFields& fields, DeviceParams& params);
// The one consistency check: the module cannot report its inputs to its own address.
bool AddressesClash(const ParamFields& fields);
// The version byte as the dialog shows it: "V" and lower-case hex, e.g. 0x16 -> "V16".
std::string VersionText(Byte version);
