// The TCP link's receive path: the stream framer in both framings feeding the network decoder.
// The first byte chooses the framing and the feed sizes, the rest is the stream.
#include <cstddef>
#include <cstdint>
#include <span>

#include "reply_decoder.h"
#include "stream_framer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    const auto mode =
        (data[0] & 1U) != 0 ? StreamFramer::Mode::RtuStream : StreamFramer::Mode::Mbap;
    const std::size_t piece = 1U + (data[0] >> 1);
    const Byte address = data[1];
    StreamFramer framer(mode, [address](std::span<const Byte> frame) {
        const ReplyEffect effect = DecodeNetworkFrame(frame, address);
        if (effect.paramCount > effect.params.size() || effect.index < 0 || effect.index > 3) {
            __builtin_trap();
        }
    });
    const std::span<const Byte> stream(data + 2, size - 2);
    for (std::size_t at = 0; at < stream.size(); at += piece) {
        framer.Feed(stream.subspan(at, std::min(piece, stream.size() - at)));
        if (framer.Buffered() > StreamFramer::kMaxFrame + piece) {
            __builtin_trap();
        }
    }
    return 0;
}
