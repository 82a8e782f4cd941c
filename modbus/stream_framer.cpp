#include "stream_framer.h"

#include <algorithm>
#include <array>
#include <utility>

#include "crc16.h"

namespace {

constexpr std::size_t kShortestRtuFrame = 5;  // an exception reply
constexpr std::uint16_t kCrcStart = 0xFFFF;
// Bodies up to this long are checked from their bytes unless the running register already
// reaches past them; longer ones always from the register.
constexpr std::size_t kDirectCrcBody = 16;

// One byte run through the CRC register, as Crc16Modbus does it, by a table made with it: the
// register's high byte meets the data byte, its low byte moves up.
class CrcStep {
  public:
    CrcStep() {
        for (unsigned value = 0; value < m_table.size(); ++value) {
            const auto byte = static_cast<Byte>(value);
            m_table[value] = Crc16Modbus(&byte, 1, 0);
        }
    }
    std::uint16_t operator()(std::uint16_t reg, Byte byte) const {
        return static_cast<std::uint16_t>(m_table[(byte ^ (reg >> 8)) & 0xFFU] ^
                                          ((reg & 0xFFU) << 8));
    }

  private:
    std::array<std::uint16_t, 256> m_table{};
};

// The CRC register is linear in what it holds: running n bytes from register r gives the run
// from register 0 xor the run of n zero bytes from r. These tables give the second term for
// every n a frame body can have, a nibble of r at a time, so the CRC of any stretch of a buffer
// follows from the registers at its two ends in a few steps.
class CrcShift {
  public:
    static constexpr std::size_t kMaxBody = StreamFramer::kMaxFrame - kCrcSize;

    CrcShift() {
        std::array<std::uint16_t, 16> bits{};
        for (std::size_t bit = 0; bit < bits.size(); ++bit) {
            bits[bit] = static_cast<std::uint16_t>(1U << bit);
        }
        const Byte zero = 0;
        for (std::size_t n = 0; n <= kMaxBody; ++n) {
            Fill(m_tables[n], bits);
            for (std::uint16_t& image : bits) {
                image = Crc16Modbus(&zero, 1, image);
            }
        }
    }

    // The register that n zero bytes leave behind, run from `reg`.
    std::uint16_t Apply(std::size_t n, std::uint16_t reg) const {
        const auto& table = m_tables[n];
        return static_cast<std::uint16_t>(table[0][reg & 0xFU] ^ table[1][(reg >> 4) & 0xFU] ^
                                          table[2][(reg >> 8) & 0xFU] ^ table[3][reg >> 12]);
    }

  private:
    using NibbleTables = std::array<std::array<std::uint16_t, 16>, 4>;

    static void Fill(NibbleTables& tables, const std::array<std::uint16_t, 16>& bits) {
        for (std::size_t nibble = 0; nibble < tables.size(); ++nibble) {
            for (unsigned value = 0; value < 16; ++value) {
                std::uint16_t image = 0;
                for (unsigned bit = 0; bit < 4; ++bit) {
                    if ((value >> bit & 1U) != 0) {
                        image ^= bits[nibble * 4 + bit];
                    }
                }
                tables[nibble][value] = image;
            }
        }
    }

    std::array<NibbleTables, kMaxBody + 1> m_tables{};
};

// Built at start-up from the constant tables of Crc16Modbus, so no use needs a guard.
const CrcShift kShift;
const CrcStep kStep;

// How many positions from the start of rest on cannot hold an MBAP header (protocol 0, a length
// that fits); dropped in one step rather than one by one.
std::size_t ImplausibleHeaderRun(std::span<const Byte> rest) {
    std::size_t run = 0;
    while (rest.size() - run >= kMbapHeaderSize && !IsPlausibleMbapHeader(rest.subspan(run))) {
        ++run;
    }
    return run;
}

// How many positions from the start of rest on (the first at least) carry a function code no
// RTU reply has.
std::size_t UnknownFunctionRun(std::span<const Byte> rest, Direction direction) {
    std::size_t run = 1;
    while (rest.size() - run >= 2 && RtuFrameLength(rest.subspan(run), direction) == 0) {
        ++run;
    }
    return run;
}

}  // namespace

// Whether a complete frame with a good CRC starts at buffer position `at`.
bool StreamFramer::CheckedFrameAt(std::size_t at) const {
    const int length = FrameLengthAt(at);
    return length > 0 && m_buffer.size() - at >= static_cast<std::size_t>(length) &&
           CrcMatchesAt(at, static_cast<std::size_t>(length));
}

// The CRC check of the frame of `length` bytes at buffer position `at`, in a few steps whatever
// the length.
bool StreamFramer::CrcMatchesAt(std::size_t at, std::size_t length) const {
    if (at < m_failedCrc.size() && m_failedCrc[at] != 0) {
        return false;  // checked before, by a look-ahead
    }
    if (!ComputedCrcMatches(at, length)) {
        m_failedCrc.resize(std::max(m_failedCrc.size(), m_buffer.size()));
        m_failedCrc[at] = 1;
        return false;
    }
    return true;
}

bool StreamFramer::ComputedCrcMatches(std::size_t at, std::size_t length) const {
    const std::span<const Byte> frame = std::span(m_buffer).subspan(at, length);
    const std::size_t body = length - kCrcSize;
    if (body <= kDirectCrcBody && at + body >= m_crcStates.size()) {
        return CrcMatches(frame);
    }
    const auto fromStart = static_cast<std::uint16_t>(CrcStateAt(at) ^ kCrcStart);
    return CrcFieldIs(
        frame, static_cast<std::uint16_t>(CrcStateAt(at + body) ^ kShift.Apply(body, fromStart)));
}

// Runs the register on through the whole buffer: whatever needs one register soon needs the
// next.
void StreamFramer::ExtendCrcStates() const {
    std::size_t at = m_crcStates.size();
    std::uint16_t reg = m_crcStates.back();
    m_crcStates.resize(m_buffer.size() + 1);
    for (; at < m_crcStates.size(); ++at) {
        reg = kStep(reg, m_buffer[at - 1]);
        m_crcStates[at] = reg;
    }
}

// The offset from the scan position of the first complete frame with a good CRC after it; 0 if
// none.
std::size_t StreamFramer::OffsetOfCheckedFrame() const {
    for (std::size_t offset = 1; m_start + offset + kShortestRtuFrame <= m_buffer.size();
         ++offset) {
        if (CheckedFrameAt(m_start + offset)) {
            return offset;
        }
    }
    return 0;
}

int StreamFramer::FrameLengthAt(std::size_t at) const {
    return RtuFrameLength(std::span(m_buffer).subspan(at), m_direction);
}

StreamFramer::StreamFramer(Framing framing, Direction direction)
    : m_framing(framing), m_direction(direction), m_crcStates(1, kCrcStart) {}

void StreamFramer::Append(std::span<const Byte> bytes) {
    Compact();
    m_buffer.insert(m_buffer.end(), bytes.begin(), bytes.end());
}

std::optional<StreamFramer::Piece> StreamFramer::Next() {
    if (m_readyFrame) {
        return TakeFrame(*std::exchange(m_readyFrame, std::nullopt));  // its drops are out
    }
    while (true) {
        const Verdict verdict = Judge();
        switch (verdict.kind) {
            case Verdict::Kind::Drop:
                m_start += std::max<std::size_t>(1, verdict.skip);
                break;
            case Verdict::Kind::Frame:
                if (m_dropFrom != m_start) {
                    m_readyFrame = verdict;  // handed out after the bytes dropped before it
                    return TakeDrops();
                }
                return TakeFrame(verdict);
            case Verdict::Kind::NeedMore:
                if (auto dropped = TakeDrops()) {
                    return dropped;
                }
                Compact();
                return std::nullopt;
        }
    }
}

std::optional<StreamFramer::Piece> StreamFramer::TakeDrops() {
    if (m_dropFrom == m_start) {
        return std::nullopt;
    }
    const std::span<const Byte> dropped(m_buffer.data() + m_dropFrom, m_start - m_dropFrom);
    m_dropFrom = m_start;
    return Piece{Piece::Kind::Drop, dropped};
}

// Built in place in the caller's result: a copy through memory costs more than the framing.
std::optional<StreamFramer::Piece> StreamFramer::TakeFrame(const Verdict& verdict) {
    const std::span<const Byte> rest(m_buffer.data() + m_start, m_buffer.size() - m_start);
    const std::uint16_t transactionId =
        m_framing == Framing::ModbusTcp ? MbapTransactionId(rest) : std::uint16_t{0};
    m_start += verdict.skip + verdict.length;
    m_dropFrom = m_start;
    return std::optional<Piece>(std::in_place, Piece::Kind::Frame,
                                rest.subspan(verdict.skip, verdict.length), transactionId,
                                rest.first(verdict.skip + verdict.length));
}

StreamFramer::Verdict StreamFramer::Judge() const {
    const std::span<const Byte> rest(m_buffer.data() + m_start, m_buffer.size() - m_start);
    return m_framing == Framing::ModbusTcp ? JudgeMbap(rest) : JudgeRtu(rest);
}

StreamFramer::Verdict StreamFramer::JudgeMbap(std::span<const Byte> rest) const {
    if (rest.size() < kMbapHeaderSize) {
        return {Verdict::Kind::NeedMore};
    }
    if (const std::size_t run = ImplausibleHeaderRun(rest); run != 0) {
        return {Verdict::Kind::Drop, run};
    }
    const std::size_t length = MbapLength(rest);
    // A header that lies about a reply's length would hold back every reply behind it.
    if (MbapLengthContradictsFunction(rest.subspan(kMbapHeaderSize), length, m_direction)) {
        return {Verdict::Kind::Drop};
    }
    if (rest.size() < kMbapHeaderSize + length) {
        return {Verdict::Kind::NeedMore};
    }
    return {Verdict::Kind::Frame, kMbapHeaderSize, length};
}

StreamFramer::Verdict StreamFramer::JudgeRtu(std::span<const Byte> rest) const {
    const int length = RtuFrameLength(rest, m_direction);
    if (length == 0) {
        return {Verdict::Kind::Drop, UnknownFunctionRun(rest, m_direction)};
    }
    if (length < 0 || rest.size() < static_cast<std::size_t>(length)) {
        // A stray byte can pose as the start of a long frame and hold back a whole reply behind
        // it: a complete good frame further on wins over the wait.
        if (const std::size_t later = OffsetOfCheckedFrame(); later != 0) {
            return {Verdict::Kind::Drop, later};
        }
        return {Verdict::Kind::NeedMore};
    }
    const auto size = static_cast<std::size_t>(length);
    if (!CrcMatchesAt(m_start, size)) {
        return {Verdict::Kind::Drop};
    }
    return {Verdict::Kind::Frame, 0, size};
}

// Forgets the bytes handed out, keeping any dropped run not yet handed out.
void StreamFramer::Compact() {
    const std::size_t done = m_dropFrom;
    if (done == 0) {
        return;
    }
    const auto consumed = static_cast<std::ptrdiff_t>(done);
    m_buffer.erase(m_buffer.begin(), m_buffer.begin() + consumed);
    m_failedCrc.erase(
        m_failedCrc.begin(),
        m_failedCrc.begin() + std::min<std::ptrdiff_t>(consumed, std::ssize(m_failedCrc)));
    if (m_crcStates.size() > done) {
        m_crcStates.erase(m_crcStates.begin(), m_crcStates.begin() + consumed);
    } else {
        m_crcStates.assign(1, kCrcStart);  // any start value will do
    }
    m_dropFrom -= done;
    m_start -= done;
}
