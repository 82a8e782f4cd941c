#include "module_model.h"

#include <cstdio>

#include "codec.h"

namespace sim {

namespace {

constexpr std::size_t kRequestSize = 6;  // unit, function, word A, word B
constexpr std::uint16_t kCoilOn = 0xFF00;
constexpr std::uint16_t kCoilOff = 0x0000;
constexpr std::uint16_t kMaxReadBits = 2000;
constexpr std::uint16_t kMaxReadRegisters = 125;
constexpr Byte kMaxSlaveAddress = 247;
constexpr Byte kMaxBaudIndex = 7;

Message Exception(const Message& request, ExceptionCode code) {
    return {request[0], static_cast<Byte>(request[1] | 0x80U), code};
}

// The Modbus checks of a read: a quantity the function cannot carry is a bad value, a range
// outside the table a bad address.
std::optional<ExceptionCode> CheckReadRange(std::uint16_t start, std::uint16_t quantity,
                                            std::uint16_t maxQuantity, std::uint16_t tableFirst,
                                            std::uint16_t tableCount) {
    if (quantity == 0 || quantity > maxQuantity) return kIllegalDataValue;
    if (start < tableFirst || start - tableFirst + quantity > tableCount) {
        return kIllegalDataAddress;
    }
    return std::nullopt;
}

}  // namespace

ModuleModel::ModuleModel(const ModuleSettings& settings)
    : answerBroadcastUnit_(settings.answerBroadcastUnit) {
    params_[kParamAddress] = settings.address;
    params_[kParamUploadEnable] = 0;
    params_[kParamUploadAddress] = 2;
    params_[kParamBaudIndex] = settings.baudIndex;
    params_[kParamVersion] = kFirmwareVersion;
}

bool ModuleModel::IsForMe(Byte unit) const {
    return unit == Address() || (answerBroadcastUnit_ && unit == kBroadcastUnit);
}

std::optional<Message> ModuleModel::HandleRequest(std::span<const Byte> bytes) {
    if (bytes.size() < 2) return std::nullopt;
    const Message request(bytes.begin(), bytes.end());
    if (!IsForMe(request[0])) return std::nullopt;
    const Byte function = request[1];
    const bool known = function == kFuncReadCoils ||
                       (function >= kFuncReadHolding && function <= kFuncWriteRegister);
    if (!known) return Exception(request, kIllegalFunction);
    if (request.size() != kRequestSize) return Exception(request, kIllegalDataValue);
    switch (function) {
        case kFuncReadCoils:
            return ReadInputBits(request);
        case kFuncReadHolding:
            return ReadParams(request);
        case kFuncReadInput:
            return ReadAnalogInputs(request);
        case kFuncWriteCoil:
            return WriteRelay(request);
        default:
            return WriteParam(request);
    }
}

Message ModuleModel::ReadInputBits(const Message& request) const {
    const std::uint16_t start = ReadWord(request, 2);
    const std::uint16_t quantity = ReadWord(request, 4);
    if (auto error = CheckReadRange(start, quantity, kMaxReadBits, 0, kDigitalInputCount)) {
        return Exception(request, *error);
    }
    Byte bits = 0;
    for (std::uint16_t i = 0; i < quantity; ++i) {
        if (inputs_[start + i]) bits = static_cast<Byte>(bits | (1U << i));
    }
    return {request[0], request[1], 1, bits};
}

Message ModuleModel::ReadAnalogInputs(const Message& request) const {
    const std::uint16_t start = ReadWord(request, 2);
    const std::uint16_t quantity = ReadWord(request, 4);
    if (auto error = CheckReadRange(start, quantity, kMaxReadRegisters, 0, kAnalogInputCount)) {
        return Exception(request, *error);
    }
    Message reply{request[0], request[1], static_cast<Byte>(2 * quantity)};
    for (std::uint16_t i = 0; i < quantity; ++i) AppendWord(reply, analog_[start + i]);
    return reply;
}

Message ModuleModel::ReadParams(const Message& request) const {
    const std::uint16_t start = ReadWord(request, 2);
    const std::uint16_t quantity = ReadWord(request, 4);
    if (auto error = CheckReadRange(start, quantity, kMaxReadRegisters, kFirstParamRegister,
                                    kParamRegisterCount)) {
        return Exception(request, *error);
    }
    Message reply{request[0], request[1], static_cast<Byte>(2 * quantity)};
    const std::size_t first = 2U * (start - kFirstParamRegister);
    reply.insert(reply.end(), params_.begin() + static_cast<std::ptrdiff_t>(first),
                 params_.begin() + static_cast<std::ptrdiff_t>(first + 2U * quantity));
    return reply;
}

Message ModuleModel::WriteRelay(const Message& request) {
    const std::uint16_t coil = ReadWord(request, 2);
    const std::uint16_t value = ReadWord(request, 4);
    if (value != kCoilOn && value != kCoilOff) return Exception(request, kIllegalDataValue);
    if (coil < kFirstRelayCoil || coil >= kFirstRelayCoil + kRelayCount) {
        return Exception(request, kIllegalDataAddress);
    }
    relays_[coil - kFirstRelayCoil] = value == kCoilOn;
    return request;
}

std::optional<ExceptionCode> ModuleModel::CheckParamWrite(std::uint16_t reg,
                                                          std::uint16_t value) const {
    if (reg < kFirstParamRegister || reg >= kFirstParamRegister + kParamRegisterCount ||
        reg == kVersionRegister) {
        return kIllegalDataAddress;
    }
    const auto high = static_cast<Byte>(value >> 8);
    const auto low = static_cast<Byte>(value & 0xFFU);
    // An address outside 1..247 would leave the module answering to no one.
    if (reg == kFirstParamRegister && (high == 0 || high > kMaxSlaveAddress)) {
        return kIllegalDataValue;
    }
    if (reg == kFirstParamRegister + 1 && low > kMaxBaudIndex) return kIllegalDataValue;
    return std::nullopt;
}

Message ModuleModel::WriteParam(const Message& request) {
    const std::uint16_t reg = ReadWord(request, 2);
    const std::uint16_t value = ReadWord(request, 4);
    if (auto error = CheckParamWrite(reg, value)) return Exception(request, *error);
    const std::size_t at = 2U * (reg - kFirstParamRegister);
    WriteWord(params_, at, value);
    return request;
}

std::optional<Message> ModuleModel::SetDigitalInput(int index, bool active) {
    bool& input = inputs_.at(static_cast<std::size_t>(index));
    const bool changed = input != active;
    input = active;
    if (!changed || params_[kParamUploadEnable] == 0) return std::nullopt;
    Message upload{params_[kParamUploadAddress], 5};
    AppendWord(upload, static_cast<std::uint16_t>(kFirstRelayCoil + index));
    AppendWord(upload, active ? kCoilOn : kCoilOff);
    return upload;
}

void ModuleModel::SetAnalogInput(int index, std::uint16_t raw) {
    analog_.at(static_cast<std::size_t>(index)) = raw;
}

Message ModuleModel::AnalogUpload() const {
    Message upload{Address(), 4, 4};
    for (std::uint16_t raw : analog_) AppendWord(upload, raw);
    return upload;
}

std::uint16_t ModuleModel::AnalogUploadPeriodMs(int index) const {
    const std::size_t at = index == 0 ? kParamAi1Period : kParamAi2Period;
    return ReadWord(params_, at);
}

std::string ModuleModel::Describe() const {
    std::string line = "state relays=";
    for (bool on : relays_) line += on ? '1' : '0';
    line += " di=";
    for (bool on : inputs_) line += on ? '1' : '0';
    line += " ai=" + std::to_string(analog_[0]) + "," + std::to_string(analog_[1]) + " params=";
    for (std::size_t i = 0; i < params_.size(); ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%02X", params_[i]);
        if (i != 0) line += ' ';
        line += hex;  // appended piece by piece: GCC 12 misreads a concatenation at -O3
    }
    line += " address=" + std::to_string(Address());
    return line;
}

}  // namespace sim
