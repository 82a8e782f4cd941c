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
// grow memory.
class StreamFramer {
public:
    using FrameHandler = std::function<void(std::span<const Byte>)>;
    using DropHandler = std::function<void(std::span<const Byte>)>;

    enum class Mode : std::uint8_t {
        Mbap,        // Modbus TCP: by the MBAP length field; frames handed on without the header
        RtuStream,   // RTU inside TCP: by the length the function code implies; CRC not checked
        RtuChecked,  // RTU on a serial line: as RtuStream, and a frame with a wrong CRC is dropped
    };

    static constexpr std::size_t kMaxFrame = 260;

    StreamFramer(Mode mode, FrameHandler onFrame, DropHandler onDrop = {});

    void Feed(std::span<const Byte> bytes);
    void Reset();
    std::size_t Buffered() const { return m_buffer.size(); }

private:
    // ... implementation's own members
    Mode m_mode;
    FrameHandler m_onFrame;
    DropHandler m_onDrop;
    std::vector<Byte> m_buffer;
};

// Length of the RTU frame that starts with unit, function (and byte count for 1, 3, 4), CRC
// included: 8 for functions 5 and 6, 5 + count for 1, 3 and 4, 5 for an exception reply; 0 when
// the function is unknown, -1 when more bytes are needed to tell.
int RtuFrameLength(std::span<const Byte> start);
