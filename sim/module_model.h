#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "frames.h"

namespace sim {

// A Modbus message without its framing: unit, function code, then the data bytes. Requests and
// replies travel as this on both framings; the transport adds the MBAP header or the CRC.
using Message = std::vector<Byte>;

inline constexpr int kRelayCount = 4;
inline constexpr int kDigitalInputCount = 4;
inline constexpr int kAnalogInputCount = 2;
inline constexpr std::size_t kParamByteCount = 10;

inline constexpr Byte kBroadcastUnit = 0xFF;
inline constexpr std::uint16_t kFirstRelayCoil = 0x0010;
inline constexpr std::uint16_t kFirstParamRegister = 0x003F;
inline constexpr std::uint16_t kParamRegisterCount = 5;
inline constexpr std::uint16_t kVersionRegister = 0x0041;
inline constexpr Byte kFirmwareVersion = 0x16;
inline constexpr Byte kDefaultBaudIndex = 7;  // 115200, what the network model reports

// Indices into the parameter block.
enum ParamByte : std::size_t {
    kParamAddress = 0,
    kParamUploadEnable = 1,
    kParamUploadAddress = 2,
    kParamBaudIndex = 3,
    kParamVersion = 4,
    kParamAi1Period = 6,
    kParamAi2Period = 8,
};

enum ExceptionCode : Byte {
    kIllegalFunction = 0x01,
    kIllegalDataAddress = 0x02,
    kIllegalDataValue = 0x03,
    kServerDeviceFailure = 0x04,
};

struct ModuleSettings {
    Byte address = 1;
    bool answerBroadcastUnit = true;
    Byte baudIndex = kDefaultBaudIndex;
};

// One I/O module: four relays, four digital inputs, two analog inputs and the parameter block.
// It knows nothing about sockets or terminals: requests go in as messages, replies and the
// module's own initiative uploads come out as messages.
class ModuleModel {
  public:
    explicit ModuleModel(const ModuleSettings& settings = {});

    // The reply to one request, or nothing when the request is for another unit.
    std::optional<Message> HandleRequest(std::span<const Byte> request);

    // Changes a digital input (index 0..3). Returns the upload frame the module sends on its own
    // when initiative upload is enabled and the input really changed.
    std::optional<Message> SetDigitalInput(int index, bool active);
    void SetAnalogInput(int index, std::uint16_t raw);

    // The periodic analog upload: address 04 04 AI1hi AI1lo AI2hi AI2lo.
    Message AnalogUpload() const;
    // Upload period of analog input `index` in ms; 0 means no periodic upload.
    std::uint16_t AnalogUploadPeriodMs(int index) const;

    bool Relay(int index) const { return relays_.at(static_cast<std::size_t>(index)); }
    bool DigitalInput(int index) const { return inputs_.at(static_cast<std::size_t>(index)); }
    std::uint16_t AnalogInput(int index) const {
        return analog_.at(static_cast<std::size_t>(index));
    }
    Byte Address() const { return params_[kParamAddress]; }
    const std::array<Byte, kParamByteCount>& Params() const { return params_; }

    // One line, stable format, e.g.
    // "state relays=1000 di=0000 ai=0,0 params=01 00 02 07 16 00 00 00 00 00 address=1".
    std::string Describe() const;

  private:
    bool IsForMe(Byte unit) const;
    Message ReadInputBits(const Message& request) const;
    Message ReadAnalogInputs(const Message& request) const;
    Message ReadParams(const Message& request) const;
    Message WriteRelay(const Message& request);
    Message WriteParam(const Message& request);
    std::optional<ExceptionCode> CheckParamWrite(std::uint16_t reg, std::uint16_t value) const;

    bool answerBroadcastUnit_;
    std::array<bool, kRelayCount> relays_{};
    std::array<bool, kDigitalInputCount> inputs_{};
    std::array<std::uint16_t, kAnalogInputCount> analog_{};
    std::array<Byte, kParamByteCount> params_{};
};

}  // namespace sim
