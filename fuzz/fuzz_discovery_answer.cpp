// libFuzzer entry point for the answer parser, the one place untrusted network bytes are read.
// Built with -DKESTREL_FUZZ=ON (clang); see fuzz/CMakeLists.txt.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "codec.h"
#include "discovery_protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> datagram(data, size);
    const std::uint32_t searchId =
        size >= 9 ? (std::uint32_t{ReadWord(datagram, 5)} << 16 | ReadWord(datagram, 7)) : 0;
    if (const auto dev = ParseSearchAnswer(datagram, searchId)) {
        // Whatever is accepted must encode back to the very same bytes.
        const auto again = EncodeSearchAnswer(searchId, *dev);
        if (again.size() != size || !std::equal(again.begin(), again.end(), data)) {
            __builtin_trap();
        }
    }
    (void)ParseSearchRequest(datagram);
    return 0;
}
