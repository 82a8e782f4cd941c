#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "frames.h"

// The traffic trace for field engineers: with the environment variable KESTREL_TRACE switched on,
// every frame sent and received, and every run of bytes dropped while resynchronising, goes to
// standard error as one line: monotonic time in seconds with microseconds, the link, the
// direction, hex.
//   12.345678 TCP  tx 00 01 00 00 00 06 01 05 00 10 FF 00
// Nothing is written while the variable is unset, empty, or 0, no, off or false (in any case).
bool TraceEnabled();

// The bytes as the trace shows them: two upper-case hex digits each, one blank between
// ("01 05 00 10").
std::string HexText(std::span<const std::uint8_t> bytes);

// Whether a value of KESTREL_TRACE switches the trace on (null: the variable is unset).
bool TraceSwitchedOnBy(const char* value);

// A link as the trace names it: "TCP" or "COM5" on standard error; the framing of its frames
// and, for a COM port, the rate it runs at, for those who listen to the trace.
struct TraceLink {
    std::string name;
    Framing framing = Framing::ModbusRtu;
    std::uint32_t baud = 0;  // 0: not a serial line
};

// One frame or link event as a listener gets it. The bytes are those of the trace line: a Modbus
// TCP frame whole, with its header, in both directions; an RTU frame with its CRC; nothing for an
// event, which says what happened in `text`.
// The listener runs as the frame is traced: it reads the clock itself when it needs the time, so
// a frame nobody keeps costs no clock reading.
struct TraceEvent {
    const TraceLink& link;
    std::string_view direction;
    std::span<const std::uint8_t> bytes;
    std::string_view text = {};
};
using TraceListener = std::function<void(const TraceEvent&)>;

// direction: "tx", "rx" or "drop". Goes to standard error when the trace is switched on, and to
// every listener, on the thread of the caller.
void TraceFrame(const TraceLink& link, std::string_view direction,
                std::span<const std::uint8_t> bytes);
void TraceNote(std::string_view text);

// What happens to a link that is not a frame, as `TraceLinkEvent` names it.
namespace trace_kind {
inline constexpr std::string_view kOpen = "open";    // connected, COM port opened
inline constexpr std::string_view kClose = "close";  // closed, reset, lost
inline constexpr std::string_view kFail = "fail";    // a connection or an opening that failed
inline constexpr std::string_view kStep = "step";    // a step of a search
}  // namespace trace_kind

// An event of the link: to standard error (when the trace is on) as "time link text", and to
// every listener with `kind` as its direction.
void TraceLinkEvent(const TraceLink& link, std::string_view kind, std::string_view text);

// Hands every traced frame to `listener` for as long as it lives, whatever KESTREL_TRACE says.
// The listener runs on the thread of the link that traces (a serial reader's own thread
// included) and must be quick. Once the destructor has returned, the listener is never called
// again. While nobody listens, a frame costs the trace one atomic load.
class TraceSubscription {
  public:
    explicit TraceSubscription(TraceListener listener);
    ~TraceSubscription();
    TraceSubscription(const TraceSubscription&) = delete;
    TraceSubscription& operator=(const TraceSubscription&) = delete;

  private:
    std::uint64_t m_id;
};

// A port's opening: "opened <detail>" when it opened, otherwise `detail` as a failure. Gives back
// `opened`.
bool TraceOpening(const TraceLink& link, bool opened, std::string_view detail);
// A port's closing, when it was open.
void TraceClosing(const TraceLink& link, bool wasOpen);
