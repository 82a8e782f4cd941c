#include "fault_injector.h"

#include "codec.h"

namespace sim {

namespace {

// Bytes that start neither a plausible MBAP header nor a request to this module.
constexpr Byte kGarbage[] = {0xA5, 0x5A, 0x00};

}  // namespace

std::vector<Byte> FaultInjector::Apply(const Message& reply, Framing framing,
                                       std::uint16_t transactionId) {
    ++count_;
    if (Hits(faults_.dropEvery)) return {};
    Message sent = reply;
    if (faults_.replyUnit >= 0) sent[0] = static_cast<Byte>(faults_.replyUnit);
    if (Hits(faults_.exceptionEvery)) {
        sent = {reply[0], static_cast<Byte>(reply[1] | 0x80U), kServerDeviceFailure};
    }
    std::vector<Byte> frame = EncodeMessage(sent, framing, transactionId);
    if (framing == Framing::ModbusRtu && Hits(faults_.badCrcEvery)) frame.back() ^= 0xFFU;
    if (Hits(faults_.garbageEvery))
        frame.insert(frame.begin(), std::begin(kGarbage), std::end(kGarbage));
    return frame;
}

}  // namespace sim
