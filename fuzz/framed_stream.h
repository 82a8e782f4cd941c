#pragma once

// What the stream framer makes of one byte stream, and the promises that hold however the stream
// is cut into pieces: shared by the fuzz targets of the TCP and the serial receive paths.
#include <algorithm>
#include <cstddef>
#include <span>
#include <vector>

#include "codec.h"
#include "stream_framer.h"

inline void TrapIf(bool broken) {
    if (broken) {
        __builtin_trap();
    }
}

struct FramedStream {
    std::vector<std::vector<Byte>> frames;
    std::size_t framedBytes = 0;   // handed on in frames
    std::size_t droppedBytes = 0;  // reported as dropped
    std::size_t pieces = 0;        // frames and dropped runs handed out
    std::size_t buffered = 0;      // still waiting at the end
};

// Feeds the stream in pieces of `piece` bytes (the last may be shorter), as a link hands on what
// each read brought. After every piece the buffer holds at most one frame's worth plus the piece.
inline void TakeAll(StreamFramer& framer, FramedStream& out) {
    while (const auto next = framer.Next()) {
        TrapIf(next->bytes.empty());
        ++out.pieces;
        if (next->IsFrame()) {
            out.frames.emplace_back(next->bytes.begin(), next->bytes.end());
            out.framedBytes += next->bytes.size();
        } else {
            out.droppedBytes += next->bytes.size();
        }
    }
}

inline FramedStream FeedInPieces(Framing framing, std::span<const Byte> stream, std::size_t piece) {
    FramedStream out;
    StreamFramer framer(framing, Direction::Reply);
    for (std::size_t at = 0; at < stream.size(); at += piece) {
        framer.Append(stream.subspan(at, std::min(piece, stream.size() - at)));
        TakeAll(framer, out);
        TrapIf(framer.Buffered() > StreamFramer::kMaxFrame + piece);
    }
    out.buffered = framer.Buffered();
    return out;
}

// Whether a complete frame with a good CRC lies inside `frame`, after its first byte. While the
// outer frame is still arriving the inner one wins over the wait, so which of the two is handed
// on depends on how the bytes come: the one case where the frames may differ with the cut.
inline bool HoldsAnotherCheckedFrame(std::span<const Byte> frame) {
    for (std::size_t offset = 1; offset < frame.size(); ++offset) {
        const auto inner = frame.subspan(offset);
        const int length = RtuFrameLength(inner, Direction::Reply);
        if (length > 0 && static_cast<std::size_t>(length) <= inner.size() &&
            CrcMatches(inner.first(static_cast<std::size_t>(length)))) {
            return true;
        }
    }
    return false;
}

// Frames the stream whole and in pieces of `piece` bytes, and returns the frames after checking
// what holds whatever the cut: the same frames in the same order (but for frames holding another
// good frame in RTU framing, see above); every byte handed on, dropped, taken as an
// MBAP header or still waiting, none twice; no piece without a byte (so the pieces are bounded
// by the bytes fed); in RTU framing only frames with a good CRC.
inline std::vector<std::vector<Byte>> FramesWhateverTheCut(Framing framing,
                                                           std::span<const Byte> stream,
                                                           std::size_t piece) {
    const FramedStream whole =
        FeedInPieces(framing, stream, std::max<std::size_t>(stream.size(), 1));
    const FramedStream cut = FeedInPieces(framing, stream, piece);
    const bool rtu = framing == Framing::ModbusRtu;
    const bool nested =
        rtu && std::any_of(whole.frames.begin(), whole.frames.end(),
                           [](const auto& frame) { return HoldsAnotherCheckedFrame(frame); });
    TrapIf(!nested && cut.frames != whole.frames);
    const std::size_t header = rtu ? 0 : kMbapHeaderSize;
    for (const FramedStream* run : {&whole, &cut}) {
        TrapIf(run->framedBytes + run->frames.size() * header + run->droppedBytes + run->buffered !=
               stream.size());
        TrapIf(run->pieces > stream.size());
    }
    for (const auto& frame : cut.frames) {
        TrapIf(rtu && !CrcMatches(frame));
        TrapIf(frame.size() < 2 || frame.size() > StreamFramer::kMaxFrame);
    }
    return cut.frames;
}
