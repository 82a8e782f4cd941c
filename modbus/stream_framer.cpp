#include "stream_framer.h"

#include <algorithm>
#include <functional>
#include <utility>

#include "crc16.h"

namespace {

constexpr std::size_t kMbapMinLength = 2;  // unit and function
constexpr std::size_t kMbapMaxLength = 254;
constexpr int kRtuWriteLength = 8;
constexpr int kRtuExceptionLength = 5;
constexpr int kRtuCountedOverhead = 5;  // unit, function, count, two CRC bytes
constexpr Byte kExceptionBit = 0x80;

std::size_t WordAt(std::span<const Byte> bytes, std::size_t index) {
    return (std::size_t{bytes[index]} << 8) | bytes[index + 1];
}

bool RtuCrcMatches(std::span<const Byte> frame) {
    const std::size_t body = frame.size() - 2;
    const std::uint16_t crc = Crc16Modbus(frame.data(), static_cast<std::uint16_t>(body));
    return frame[body] == static_cast<Byte>(crc >> 8) &&
           frame[body + 1] == static_cast<Byte>(crc & 0xFFU);
}

// Clears the feeding flag and compacts the buffer even when a handler throws, so the
// framer stays usable and never hands a frame on twice.
class FeedScope {
  public:
    FeedScope(bool& feeding, std::function<void()> compact)
        : m_feeding(feeding), m_compact(std::move(compact)) {
        m_feeding = true;
    }
    ~FeedScope() {
        m_compact();
        m_feeding = false;
    }
    FeedScope(const FeedScope&) = delete;
    FeedScope& operator=(const FeedScope&) = delete;

  private:
    bool& m_feeding;
    std::function<void()> m_compact;
};

}  // namespace

// The offset of the first complete frame with a good CRC after the start of rest; 0 if none.
std::size_t StreamFramer::OffsetOfCheckedFrame(std::span<const Byte> rest) {
    for (std::size_t offset = 1; offset + kRtuExceptionLength <= rest.size(); ++offset) {
        const auto candidate = rest.subspan(offset);
        const int length = RtuFrameLength(candidate);
        if (length > 0 && candidate.size() >= static_cast<std::size_t>(length) &&
            RtuCrcMatches(candidate.first(static_cast<std::size_t>(length)))) {
            return offset;
        }
    }
    return 0;
}

int RtuFrameLength(std::span<const Byte> start) {
    if (start.size() < 2) {
        return -1;
    }
    const Byte function = start[1];
    if ((function & kExceptionBit) != 0) {
        return kRtuExceptionLength;
    }
    switch (function) {
        case 5:
        case 6:
            return kRtuWriteLength;
        case 1:
        case 3:
        case 4:
            return start.size() < 3 ? -1 : kRtuCountedOverhead + start[2];
        default:
            return 0;
    }
}

StreamFramer::StreamFramer(Mode mode, FrameHandler onFrame, DropHandler onDrop)
    : m_mode(mode), m_onFrame(std::move(onFrame)), m_onDrop(std::move(onDrop)) {}

void StreamFramer::Feed(std::span<const Byte> bytes) {
    if (m_feeding) {
        m_pending.insert(m_pending.end(), bytes.begin(), bytes.end());
        return;
    }
    FeedScope scope(m_feeding, [this] { Compact(); });
    DrainPending();  // anything a throwing handler left queued came first
    Consume(bytes);
    DrainPending();
}

void StreamFramer::DrainPending() {
    while (!m_pending.empty()) {
        const std::vector<Byte> next = std::exchange(m_pending, {});
        Consume(next);
    }
}

void StreamFramer::Reset() {
    m_pending.clear();
    ++m_generation;
    if (m_feeding) {
        // A handler is looking at the buffer: mark it all consumed, the scan compacts it.
        m_start = m_buffer.size();
        m_dropFrom = m_start;
        return;
    }
    m_buffer.clear();
    m_start = 0;
    m_dropFrom = 0;
}

void StreamFramer::Consume(std::span<const Byte> bytes) {
    m_buffer.insert(m_buffer.end(), bytes.begin(), bytes.end());
    Scan();
    Compact();
}

void StreamFramer::Scan() {
    const std::uint64_t generation = m_generation;
    while (generation == m_generation) {
        const std::span<const Byte> rest(m_buffer.data() + m_start, m_buffer.size() - m_start);
        const Verdict verdict = Judge(rest);
        if (verdict.kind == Verdict::Kind::NeedMore) {
            break;
        }
        if (verdict.kind == Verdict::Kind::Drop) {
            m_start += std::max<std::size_t>(1, verdict.skip);
            continue;
        }
        if (!FlushDrops()) {
            return;
        }
        m_start += verdict.skip + verdict.length;
        m_dropFrom = m_start;
        if (m_onFrame) {
            m_onFrame(rest.subspan(verdict.skip, verdict.length));
        }
    }
    if (generation == m_generation) {
        FlushDrops();
    }
}

StreamFramer::Verdict StreamFramer::Judge(std::span<const Byte> rest) const {
    if (m_mode == Mode::Mbap) {
        if (rest.size() < kMbapHeaderSize) {
            return {Verdict::Kind::NeedMore};
        }
        const std::size_t length = WordAt(rest, 4);
        if (WordAt(rest, 2) != 0 || length < kMbapMinLength || length > kMbapMaxLength) {
            return {Verdict::Kind::Drop};
        }
        if (rest.size() < kMbapHeaderSize + length) {
            return {Verdict::Kind::NeedMore};
        }
        return {Verdict::Kind::Frame, kMbapHeaderSize, length};
    }
    const int length = RtuFrameLength(rest);
    if (length == 0) {
        return {Verdict::Kind::Drop};
    }
    if (length < 0 || rest.size() < static_cast<std::size_t>(length)) {
        // A stray byte can pose as the start of a long frame and hold back a whole reply behind
        // it: when the CRC is checked, a complete good frame further on wins over the wait.
        if (m_mode == Mode::RtuChecked) {
            if (const std::size_t later = OffsetOfCheckedFrame(rest); later != 0) {
                return {Verdict::Kind::Drop, later};
            }
        }
        return {Verdict::Kind::NeedMore};
    }
    const auto frame = rest.first(static_cast<std::size_t>(length));
    if (m_mode == Mode::RtuChecked && !RtuCrcMatches(frame)) {
        return {Verdict::Kind::Drop};
    }
    return {Verdict::Kind::Frame, 0, frame.size()};
}

// Reports the run of dropped bytes; false when the drop handler reset the framer.
bool StreamFramer::FlushDrops() {
    if (m_dropFrom == m_start) {
        return true;
    }
    const std::span<const Byte> dropped(m_buffer.data() + m_dropFrom, m_start - m_dropFrom);
    m_dropFrom = m_start;
    if (!m_onDrop) {
        return true;
    }
    const std::uint64_t generation = m_generation;
    m_onDrop(dropped);
    return generation == m_generation;
}

void StreamFramer::Compact() {
    if (m_start == 0) {
        return;
    }
    m_buffer.erase(m_buffer.begin(), m_buffer.begin() + static_cast<std::ptrdiff_t>(m_start));
    m_dropFrom -= std::min(m_dropFrom, m_start);
    m_start = 0;
}
