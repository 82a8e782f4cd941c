// The traffic monitor's words for hostile frames: whatever a module or a stray peer sends, in
// either direction and framing, the summary and the monitor's line and CSV forms of it are made
// without reading past the frame, and a request and its reply pair up without fault. data[0]:
// the window's address; data[1]: the direction and framing; the rest is the frame.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "framed_stream.h"
#include "traffic_log.h"
#include "traffic_summary.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    static constexpr std::array<std::string_view, 3> kDirections = {"tx", "rx", "drop"};
    const Byte address = data[0];
    const std::string_view direction = kDirections[data[1] % kDirections.size()];
    const Framing framing = (data[1] & 0x80) != 0 ? Framing::ModbusRtu : Framing::ModbusTcp;
    const std::span<const Byte> frame(data + 2, size - 2);
    TrapIf(SummarizeFrame(direction, framing, frame, address).empty());

    TrafficLog log;
    log.SetWindowAddress(address);
    const TraceLink link{"TCP", framing, 0};
    const auto now = std::chrono::steady_clock::now();
    log.Add({link, "tx", frame}, now);
    log.Add({link, direction, frame}, now);
    log.Take(4, now + std::chrono::seconds(5));  // the request unanswered, or answered
    for (std::uint64_t seq = log.FirstSeq(); seq < log.EndSeq(); ++seq) {
        const TrafficEntry& entry = *log.BySeq(seq);
        TrapIf(TrafficLineText(entry, TrafficTime::SinceOpen, now).empty());
        TrapIf(TrafficCsvLine(entry, TrafficTime::WallClock, now).empty());
    }
    return 0;
}
