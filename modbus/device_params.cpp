#include "device_params.h"

#include "codec.h"

namespace {

// Register 0x003F + n carries bytes 2n and 2n + 1 of the block. The address register goes last,
// so the unit keeps answering at its old address until every other setting is written.
constexpr std::array<std::uint16_t, 4> kWriteOrder = {1, 3, 4, 0};

std::uint16_t RegisterWord(const DeviceParams& params, std::uint16_t offset) {
    return ReadWord(params.bytes, std::size_t{offset} * 2);
}

}  // namespace

DeviceParams g_DeviceParams;

std::vector<Byte> ParamReadFrame(std::uint16_t quantity, Framing framing, Byte unit) {
    return BuildFrame({unit, kFuncReadHolding, kParamFirstRegister, quantity}, framing);
}

std::vector<std::vector<Byte>> ParamWriteFrames(const DeviceParams& params, Byte unit,
                                                Framing framing) {
    std::vector<std::vector<Byte>> frames;
    frames.reserve(kWriteOrder.size());
    for (const std::uint16_t offset : kWriteOrder) {
        const auto reg = static_cast<std::uint16_t>(kParamFirstRegister + offset);
        frames.push_back(
            BuildFrame({unit, kFuncWriteRegister, reg, RegisterWord(params, offset)}, framing));
    }
    return frames;
}
