#include "param_fields.h"

#include <array>
#include <cstdio>

#include "codec.h"

namespace {

std::uint32_t Period(const DeviceParams& params, std::size_t at) {
    return ReadWord(params.bytes, at);
}

void StorePeriod(std::uint32_t period, DeviceParams& params, std::size_t at) {
    WriteWord(params.bytes, at, static_cast<std::uint16_t>(period & 0xFFFFU));
}

}  // namespace

ParamFields FieldsOfBlock(const DeviceParams& params) {
    const auto& bytes = params.bytes;
    ParamFields fields;
    fields.slaveAddr = bytes[0];
    fields.uploadEnable = bytes[1];
    fields.uploadAddr = bytes[2];
    fields.baudIndex = bytes[3] < kBaudIndexCount ? bytes[3] : -1;
    fields.ai1Period = Period(params, 6);
    fields.ai2Period = Period(params, 8);
    return fields;
}

void StoreFields(const ParamFields& fields, DeviceParams& params) {
    auto& bytes = params.bytes;
    bytes[0] = fields.slaveAddr;
    bytes[1] = fields.uploadEnable;
    bytes[2] = fields.uploadAddr;
    bytes[3] = fields.baudIndex < 0 ? kNoBaudSelected : static_cast<Byte>(fields.baudIndex & 0xFF);
    StorePeriod(fields.ai1Period, params, 6);
    StorePeriod(fields.ai2Period, params, 8);
}

bool AddressesClash(const ParamFields& fields) {
    return fields.slaveAddr == fields.uploadAddr;
}

std::string VersionText(Byte version) {
    std::array<char, 8> text{};
    std::snprintf(text.data(), text.size(), "V%x", static_cast<unsigned>(version));
    return text.data();
}
