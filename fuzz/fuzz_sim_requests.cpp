// The simulator's request handling: its request framer in both framings feeding the module model.
#include <cstddef>
#include <cstdint>
#include <span>

#include "module_model.h"
#include "request_framer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    const Framing framing = (data[0] & 1U) != 0 ? Framing::ModbusRtu : Framing::ModbusTcp;
    sim::RequestFramer framer(framing);
    sim::ModuleModel module;
    framer.Append(std::span<const Byte>(data + 1, size - 1));
    while (const auto request = framer.Next()) {
        (void)module.HandleRequest(request->message);
    }
    if (framer.Buffered() > sim::RequestFramer::kBufferLimit) {
        __builtin_trap();
    }
    return 0;
}
