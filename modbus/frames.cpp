#include "frames.h"

#include "codec.h"

namespace {

constexpr CommandEntry Entry(Byte unit, Byte function, Byte a1, Byte a2, Byte b1, Byte b2, Byte c1,
                             Byte c2) {
    return {0x00, 0x01, 0x00, 0x00, 0x00, 0x06, unit, function, a1, a2, b1, b2, c1, c2};
}

constexpr std::array<CommandEntry, kCommandCount> kInitialTable = {
    Entry(0x01, 0x05, 0x00, 0x10, 0xFF, 0x00, 0x8D, 0xFF),  // RL1 on
    Entry(0x01, 0x05, 0x00, 0x10, 0x00, 0x00, 0xCC, 0x0F),  // RL1 off
    Entry(0x01, 0x05, 0x00, 0x11, 0xFF, 0x00, 0xDC, 0x3F),  // RL2 on
    Entry(0x01, 0x05, 0x00, 0x11, 0x00, 0x00, 0x9D, 0xCF),  // RL2 off
    Entry(0x01, 0x05, 0x00, 0x12, 0xFF, 0x00, 0x2C, 0x3F),  // RL3 on
    Entry(0x01, 0x05, 0x00, 0x12, 0x00, 0x00, 0x6D, 0xCF),  // RL3 off
    Entry(0x01, 0x05, 0x00, 0x13, 0xFF, 0x00, 0x7D, 0xFF),  // RL4 on
    Entry(0x01, 0x05, 0x00, 0x13, 0x00, 0x00, 0x3C, 0x0F),  // RL4 off
    Entry(0x01, 0x01, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00),  // read the four DIs
    Entry(0x01, 0x04, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00),  // read the two AIs
    Entry(0xFF, 0x03, 0x00, 0x3F, 0x00, 0x05, 0x00, 0x00),  // whole parameter block, unit 0xFF
    Entry(0xFF, 0x03, 0x00, 0x3F, 0x00, 0x03, 0x00, 0x00),  // first three parameter registers
};

constexpr std::size_t kRtuOffset = kMbapHeaderSize;
constexpr std::uint16_t kTableTransactionId = 1;

std::span<Byte> RtuFrameOf(CommandEntry& entry) {
    return {entry.data() + kRtuOffset, kRtuFrameSize};
}

}  // namespace

std::array<CommandEntry, kCommandCount> CommandTable = kInitialTable;

void ResetCommandTable() {
    CommandTable = kInitialTable;
}

std::vector<Byte> BuildFrame(const Request& request, Framing framing) {
    std::vector<Byte> message = {request.unit, request.function};
    AppendWord(message, request.wordA);
    AppendWord(message, request.wordB);
    return EncodeMessage(message, framing, kTableTransactionId);
}

void StoreCommandUnit(int k, Byte address) {
    if (k != kCmdReadParams5) {
        CommandTable.at(static_cast<std::size_t>(k))[kRtuOffset] = address;
    }
}

std::span<const Byte> FrameCommand(int k, Framing framing) {
    CommandEntry& entry = CommandTable.at(static_cast<std::size_t>(k));
    if (framing == Framing::ModbusTcp) {
        return {entry.data(), kTcpFrameSize};
    }
    const std::span<Byte> rtu = RtuFrameOf(entry);
    StoreCrc(rtu);
    return rtu;
}
