#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "frames.h"

// Cuts a byte stream into whole frames. Bytes are fed as they arrive, in any pieces; every
// complete frame is handed to the frame callback once, in order, and bytes that cannot start a
// frame are dropped (and reported to the drop callback) until a plausible frame start is found.
// The buffer never holds more than one incomplete frame, so a peer streaming garbage cannot
// grow memory, and the work is linear in the bytes fed whatever they are: each position costs
// a bounded number of steps (the CRC of a long candidate frame comes from the running CRC register
// at its two ends, not from its bytes), plus at most one frame's length of look-ahead per Feed.
class StreamFramer {
  public:
    using FrameHandler = std::function<void(std::span<const Byte>)>;
    using DropHandler = std::function<void(std::span<const Byte>)>;

    enum class Mode : std::uint8_t {
        Mbap,        // Modbus TCP: by the MBAP length field; frames handed on without the header.
                     // For the replies the panel decodes (functions 1, 3, 4, 5, exceptions) the
                     // length must be the one the function implies, or the header is dropped.
        RtuStream,   // RTU inside TCP: by the length the function code implies; CRC not checked
        RtuChecked,  // RTU on a serial line: as RtuStream, and a frame with a wrong CRC is dropped
    };

    static constexpr std::size_t kMaxFrame = 260;

    StreamFramer(Mode mode, FrameHandler onFrame, DropHandler onDrop = {});

    void Feed(std::span<const Byte> bytes);
    void Reset();
    std::size_t Buffered() const { return m_buffer.size(); }

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
    void Consume(std::span<const Byte> bytes);
    void DrainPending();
    void Scan();
    bool FlushDrops();
    void Compact();

    Mode m_mode;
    FrameHandler m_onFrame;
    DropHandler m_onDrop;
    std::vector<Byte> m_buffer;
    // RtuChecked: m_crcStates[k] is the CRC register after m_buffer[0, k), from any start value,
    // worked out only as far as a check of a long frame has needed.
    mutable std::vector<std::uint16_t> m_crcStates;
    // RtuChecked: 1 where a complete frame was found with a wrong CRC, so the scan that reaches
    // a position a look-ahead has already checked does not check it again.
    mutable std::vector<Byte> m_failedCrc;
    std::size_t m_start = 0;         // first byte not yet framed or dropped
    std::size_t m_dropFrom = 0;      // [m_dropFrom, m_start) dropped but not yet reported
    bool m_feeding = false;          // a handler is running inside Feed
    std::vector<Byte> m_pending;     // bytes fed from inside a handler, framed after it returns
    std::uint64_t m_generation = 0;  // bumped by Reset, so a scan in progress stops
};

// Length of the RTU frame that starts with unit, function (and byte count for 1, 3, 4), CRC
// included: 8 for functions 5 and 6, 5 + count for 1, 3 and 4, 5 for an exception reply; 0 when
// the function is unknown, -1 when more bytes are needed to tell.
int RtuFrameLength(std::span<const Byte> start);
