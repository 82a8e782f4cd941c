#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "codec.h"
#include "frames.h"

// Cuts a byte stream into whole frames. Bytes are appended as they arrive, in any pieces; Next()
// then hands out, in order, every complete frame once and every run of bytes that could not
// start a frame (dropped until a plausible frame start is found), until nothing is left to hand
// out. The buffer never holds more than one incomplete frame beyond what was appended since the
// last Next() came back empty, so a peer streaming garbage cannot grow memory, and the work is
// linear in the bytes appended whatever they are: each position costs a bounded number of steps
// (the CRC of a long candidate frame comes from the running CRC register at its two ends, not
// from its bytes), plus at most one frame's length of look-ahead.
//
// Modbus TCP frames by the MBAP length field and hands frames on without the header; for the
// replies the panel decodes the length must be the one the function implies, or the header is
// dropped. RTU frames by the length the function implies, and a frame with a wrong CRC is
// dropped, on a serial line and inside TCP alike.
class StreamFramer {
  public:
    struct Piece {
        enum class Kind : std::uint8_t { Frame, Drop };
        Piece(Kind pieceKind, std::span<const Byte> pieceBytes, std::uint16_t transaction = 0,
              std::span<const Byte> wireBytes = {})
            : kind(pieceKind),
              bytes(pieceBytes),
              wire(wireBytes.empty() ? pieceBytes : wireBytes),
              transactionId(transaction) {}

        Kind kind;
        // Valid until the next Append() or Next().
        std::span<const Byte> bytes;
        // The bytes as they came on the wire: a Modbus TCP frame with its header. Valid as long
        // as `bytes`.
        std::span<const Byte> wire;
        // A Modbus TCP frame's transaction id; 0 otherwise.
        std::uint16_t transactionId = 0;
        bool IsFrame() const { return kind == Kind::Frame; }
    };

    static constexpr std::size_t kMaxFrame = 260;

    StreamFramer(Framing framing, Direction direction);

    void Append(std::span<const Byte> bytes);
    // The next frame or run of dropped bytes; nothing when more bytes are needed.
    std::optional<Piece> Next();
    // Bytes appended and not yet handed out.
    std::size_t Buffered() const { return m_buffer.size() - m_start; }
    Framing framing() const { return m_framing; }

  private:
    // What the bytes at the scan position amount to.
    struct Verdict {
        enum class Kind : std::uint8_t { NeedMore, Drop, Frame } kind;
        std::size_t skip = 0;    // header bytes not handed on; for Drop, the bytes to drop
        std::size_t length = 0;  // bytes handed on
    };

    Verdict Judge() const;
    Verdict JudgeMbap(std::span<const Byte> rest) const;
    Verdict JudgeRtu(std::span<const Byte> rest) const;
    int FrameLengthAt(std::size_t at) const;
    std::size_t OffsetOfCheckedFrame() const;
    bool CheckedFrameAt(std::size_t at) const;
    bool CrcMatchesAt(std::size_t at, std::size_t length) const;
    bool ComputedCrcMatches(std::size_t at, std::size_t length) const;
    // The register after m_buffer[0, k), worked out when first needed.
    std::uint16_t CrcStateAt(std::size_t k) const {
        if (k >= m_crcStates.size()) {
            ExtendCrcStates();
        }
        return m_crcStates[k];
    }
    void ExtendCrcStates() const;
    std::optional<Piece> TakeDrops();
    std::optional<Piece> TakeFrame(const Verdict& verdict);
    void Compact();

    Framing m_framing;
    Direction m_direction;
    std::vector<Byte> m_buffer;
    // RTU: m_crcStates[k] is the CRC register after m_buffer[0, k), from any start value, worked
    // out only as far as a check of a long frame has needed.
    mutable std::vector<std::uint16_t> m_crcStates;
    // RTU: 1 where a complete frame was found with a wrong CRC, so the scan that reaches a
    // position a look-ahead has already checked does not check it again.
    mutable std::vector<Byte> m_failedCrc;
    std::size_t m_start = 0;     // first byte not yet framed or dropped
    std::size_t m_dropFrom = 0;  // [m_dropFrom, m_start) dropped but not yet handed out
    // A frame found behind a run of dropped bytes, handed out after them.
    std::optional<Verdict> m_readyFrame;
};
