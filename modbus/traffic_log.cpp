#include "traffic_log.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <ctime>

#include "codec.h"
#include "reply_watch.h"
#include "traffic_summary.h"

namespace {

constexpr std::size_t kMostWaitingRequests = 256;
constexpr std::size_t kEntryOverhead = 64;  // the shared pointer's block and the deque's slot

TrafficKind KindOf(std::string_view direction) {
    if (direction == "tx") return TrafficKind::Sent;
    if (direction == "rx") return TrafficKind::Received;
    if (direction == "drop") return TrafficKind::Dropped;
    if (direction == trace_kind::kOpen) return TrafficKind::Opened;
    if (direction == trace_kind::kClose) return TrafficKind::Closed;
    if (direction == trace_kind::kFail) return TrafficKind::Failed;
    return TrafficKind::Step;
}

const char* DirectionWord(TrafficKind kind) {
    static constexpr std::array<const char*, 8> kWords = {"tx",    "rx",   "drop", "open",
                                                          "close", "fail", "step", "none"};
    return kWords.at(static_cast<std::size_t>(kind));
}

bool IsFrame(TrafficKind kind) {
    return kind == TrafficKind::Sent || kind == TrafficKind::Received;
}

// The unit, function and data of a whole frame.
std::span<const Byte> MessageIn(std::span<const Byte> frame, Framing framing) {
    if (framing == Framing::ModbusTcp) {
        return frame.size() >= kMbapHeaderSize ? frame.subspan(kMbapHeaderSize)
                                               : std::span<const Byte>{};
    }
    return MessageOf(frame, framing);
}

std::shared_ptr<TrafficEntry> EntryOf(const TraceEvent& event,
                                      std::chrono::steady_clock::time_point time) {
    auto entry = std::make_shared<TrafficEntry>();
    entry->time = time;
    entry->link = event.link;
    entry->kind = KindOf(event.direction);
    const std::size_t kept = entry->kind == TrafficKind::Dropped
                                 ? std::min(event.bytes.size(), TrafficEntry::kDropHead)
                                 : event.bytes.size();
    entry->bytes.assign(event.bytes.begin(), event.bytes.begin() + static_cast<long>(kept));
    entry->length = event.bytes.size();
    entry->text = event.text;
    const std::span<const Byte> message = MessageIn(entry->bytes, entry->link.framing);
    if (IsFrame(entry->kind) && message.size() >= 2) {
        entry->unit = message[0];
        entry->function = message[1] & ~kExceptionBit;
        entry->problem = entry->kind == TrafficKind::Received && (message[1] & kExceptionBit) != 0;
    }
    entry->problem = entry->problem || entry->kind == TrafficKind::Dropped ||
                     entry->kind == TrafficKind::Failed ||
                     (entry->kind == TrafficKind::Closed && entry->text.starts_with("reset"));
    return entry;
}

std::uint16_t AddressOf(std::span<const Byte> message) {
    return message.size() >= 4 ? ReadWord(message, 2) : std::uint16_t{0};
}

// Replies to a write repeat its address; the others are told apart by unit and function alone.
bool HasAddressInReply(int function) {
    return function == kFuncWriteCoil || function == kFuncWriteRegister;
}

std::string TimeText(const TrafficEntry& entry, TrafficTime mode,
                     std::chrono::steady_clock::time_point openedAt) {
    std::array<char, 48> text{};
    if (mode == TrafficTime::WallClock) {
        const auto since = entry.wallTime.time_since_epoch();
        const std::time_t seconds = static_cast<std::time_t>(
            std::chrono::duration_cast<std::chrono::seconds>(since).count());
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(since).count() % 1000;
        std::tm local{};
        localtime_r(&seconds, &local);
        const std::size_t used =
            std::strftime(text.data(), text.size(), "%Y-%m-%d %H:%M:%S", &local);
        std::snprintf(text.data() + used, text.size() - used, ".%03d", static_cast<int>(ms));
        return text.data();
    }
    const double ms = std::chrono::duration<double, std::milli>(entry.time - openedAt).count();
    std::snprintf(text.data(), text.size(), "%11.3f", ms);
    return text.data();
}

std::string HexColumn(const TrafficEntry& entry) {
    std::string hex = HexText(entry.bytes);
    if (entry.kind == TrafficKind::Dropped && entry.length.load() > entry.bytes.size()) {
        hex += " ...";
    }
    return hex;
}

std::string ByteCount(std::uint64_t count) {
    return std::to_string(count) + (count == 1 ? " byte" : " bytes");
}

std::string DecodeColumn(const TrafficEntry& entry) {
    std::string words;
    switch (entry.kind) {
        case TrafficKind::Sent:
        case TrafficKind::Received:
            words = SummarizeFrame(DirectionWord(entry.kind), entry.link.framing, entry.bytes,
                                   entry.windowAddress);
            break;
        case TrafficKind::Dropped:
            words = "dropped " + ByteCount(entry.length.load());
            break;
        case TrafficKind::NoReply:
            words = "no reply to " +
                    SummarizeFrame("tx", entry.link.framing, entry.bytes, entry.windowAddress) +
                    " within " + entry.text;
            break;
        default:
            words = entry.text;
            break;
    }
    return entry.problem ? "problem: " + words : words;
}

std::string LinkText(const TraceLink& link) {
    return link.baud != 0 ? link.name + ' ' + std::to_string(link.baud) : link.name;
}

std::string Padded(std::string text, std::size_t width) {
    if (text.size() < width) {
        text.append(width - text.size(), ' ');
    }
    return text;
}

std::string Quoted(const std::string& text) {
    std::string quoted = "\"";
    for (const char c : text) {
        quoted += c;
        if (c == '"') {
            quoted += '"';
        }
    }
    return quoted + '"';
}

}  // namespace

bool TrafficFilter::Matches(const TrafficEntry& entry) const {
    if (problemsOnly && !entry.problem) {
        return false;
    }
    if ((direction == TrafficDirection::Sent && entry.kind != TrafficKind::Sent) ||
        (direction == TrafficDirection::Received && entry.kind != TrafficKind::Received &&
         entry.kind != TrafficKind::Dropped)) {
        return false;
    }
    return (!unit || entry.unit == *unit) && (!function || entry.function == *function);
}

TrafficColumns ColumnsOf(const TrafficEntry& entry, TrafficTime mode,
                         std::chrono::steady_clock::time_point openedAt) {
    TrafficColumns columns{TimeText(entry, mode, openedAt),
                           LinkText(entry.link),
                           DirectionWord(entry.kind),
                           HexColumn(entry),
                           DecodeColumn(entry),
                           {}};
    if (entry.responseMs) {
        std::array<char, 32> text{};
        std::snprintf(text.data(), text.size(), "%.3f ms", *entry.responseMs);
        columns.response = text.data();
    }
    return columns;
}

std::string TrafficLineText(const TrafficEntry& entry, TrafficTime mode,
                            std::chrono::steady_clock::time_point openedAt) {
    const TrafficColumns c = ColumnsOf(entry, mode, openedAt);
    std::string line = c.time + "  " + Padded(c.link, 11) + ' ' + Padded(c.direction, 6) + c.hex +
                       (c.hex.empty() ? "" : "  ") + c.decode;
    if (!c.response.empty()) {
        line += " (" + c.response + ")";
    }
    return line;
}

std::string TrafficCsvLine(const TrafficEntry& entry, TrafficTime mode,
                           std::chrono::steady_clock::time_point openedAt) {
    TrafficColumns c = ColumnsOf(entry, mode, openedAt);
    std::string response = c.response.substr(0, c.response.find(' '));
    return Quoted(c.time.substr(c.time.find_first_not_of(' '))) + ',' + Quoted(c.link) + ',' +
           c.direction + ',' + c.hex + ',' + Quoted(c.decode) + ',' + response;
}

// ---- the log ------------------------------------------------------------------------------------

TrafficLog::TrafficLog(Limits limits) : m_limits(limits) {}

std::size_t TrafficLog::CostOf(const TrafficEntry& entry) {
    return sizeof(TrafficEntry) + kEntryOverhead + entry.bytes.capacity() + entry.text.capacity() +
           (entry.link.name.capacity() > 15 ? entry.link.name.capacity() : 0);
}

// Counted on the caller's thread without a lock; a line is made under the intake's lock only
// while the intake has room.
void TrafficLog::Add(const TraceEvent& event, std::optional<Clock::time_point> at) {
    constexpr auto kRelaxed = std::memory_order_relaxed;
    const bool drop = event.direction == "drop";
    if (event.direction == "tx") {
        m_tally.sent.fetch_add(1, kRelaxed);
    } else if (event.direction == "rx") {
        m_tally.received.fetch_add(1, kRelaxed);
        const std::span<const Byte> message = MessageIn(event.bytes, event.link.framing);
        if (message.size() >= 2 && (message[1] & kExceptionBit) != 0) {
            m_tally.exceptions.fetch_add(1, kRelaxed);
        }
    } else if (drop) {
        m_tally.droppedBytes.fetch_add(event.bytes.size(), kRelaxed);
    }
    if (m_full.load(kRelaxed)) {
        // The owner does not keep up: what comes is counted, not kept, and costs the link no
        // more than the count until the intake has room again.
        m_tally.forgotten.fetch_add(1, kRelaxed);
        return;
    }
    const std::lock_guard lock(m_mutex);
    if (drop && m_openDrop && m_openDrop->link.name == event.link.name) {
        m_openDrop->length += event.bytes.size();
        return;
    }
    std::shared_ptr<TrafficEntry> entry = EntryOf(event, at ? *at : Clock::now());
    m_openDrop = drop ? entry : nullptr;
    m_intakeBytes += CostOf(*entry);
    m_intake.push_back(std::move(entry));
    m_full.store(m_intakeBytes >= m_limits.waitingBytes, kRelaxed);
}

std::size_t TrafficLog::Take(std::size_t most, Clock::time_point now) {
    std::deque<std::shared_ptr<TrafficEntry>> taken;
    {
        const std::lock_guard lock(m_mutex);
        const std::size_t count = std::min(most, m_intake.size());
        const auto end = m_intake.begin() + static_cast<long>(count);
        for (auto it = m_intake.begin(); it != end; ++it) {
            m_intakeBytes -= CostOf(**it);
        }
        taken.assign(std::make_move_iterator(m_intake.begin()), std::make_move_iterator(end));
        m_intake.erase(m_intake.begin(), end);
        if (m_full.load() && m_intakeBytes < m_limits.waitingBytes) {
            m_full.store(false);
            m_openDrop.reset();  // bytes dropped meanwhile were not kept: a new run starts
        }
    }
    // The wall clock of each line, from the monotonic time the link stamped it with.
    const auto wallNow = std::chrono::system_clock::now();
    const auto steadyNow = Clock::now();
    for (const std::shared_ptr<TrafficEntry>& entry : taken) {
        entry->wallTime = wallNow - std::chrono::duration_cast<std::chrono::system_clock::duration>(
                                        steadyNow - entry->time);
        entry->windowAddress = m_windowAddress;
        Pair(entry);
        Keep(entry);
    }
    ExpireRequests(now);
    return taken.size();
}

void TrafficLog::Keep(const std::shared_ptr<TrafficEntry>& entry) {
    entry->seq = EndSeq();
    m_historyBytes += CostOf(*entry);
    m_history.push_back(entry);
    while (m_historyBytes > m_limits.historyBytes && m_history.size() > 1) {
        m_historyBytes -= CostOf(*m_history.front());
        m_history.pop_front();
        ++m_firstSeq;
        m_tally.forgotten.fetch_add(1, std::memory_order_relaxed);
    }
}

// A request waits for its reply; a reply answers the oldest request of its link with the same
// unit and function (and address, for a write). A step of a search, a close or a failure ends
// the waiting of the link's requests: nothing will answer them.
void TrafficLog::Pair(const std::shared_ptr<TrafficEntry>& sharedEntry) {
    TrafficEntry& entry = *sharedEntry;
    const std::span<const Byte> message = MessageIn(entry.bytes, entry.link.framing);
    switch (entry.kind) {
        case TrafficKind::Sent:
            if (entry.unit >= 0) {
                m_requests.push_back({entry.link.name, static_cast<Byte>(entry.unit),
                                      static_cast<Byte>(entry.function), AddressOf(message),
                                      entry.time, entry.time + ReplyTimeout(entry.link.baud),
                                      sharedEntry});
                if (m_requests.size() > kMostWaitingRequests) {
                    m_requests.pop_front();
                }
            }
            return;
        case TrafficKind::Received:
            break;
        case TrafficKind::Opened:
        case TrafficKind::Dropped:
            return;
        default:
            std::erase_if(m_requests, [&](const Request& r) { return r.link == entry.link.name; });
            return;
    }
    const bool exception = message.size() >= 2 && (message[1] & kExceptionBit) != 0;
    const auto answered = std::find_if(m_requests.begin(), m_requests.end(), [&](const Request& r) {
        return r.link == entry.link.name && r.unit == entry.unit && r.function == entry.function &&
               (exception || !HasAddressInReply(r.function) || r.address == AddressOf(message));
    });
    if (answered != m_requests.end()) {
        entry.responseMs =
            std::chrono::duration<double, std::milli>(entry.time - answered->time).count();
        m_requests.erase(answered);
    }
}

// A request whose time ran out becomes a no-reply line, at the moment its time ran out.
void TrafficLog::ExpireRequests(Clock::time_point now) {
    std::vector<Request> expired;
    std::erase_if(m_requests, [&](Request& r) {
        if (r.deadline > now) {
            return false;
        }
        expired.push_back(std::move(r));
        return true;
    });
    for (const Request& r : expired) {
        auto entry = std::make_shared<TrafficEntry>();
        const TrafficEntry& request = *r.entry;
        entry->time = r.deadline;
        entry->wallTime =
            request.wallTime +
            std::chrono::duration_cast<std::chrono::system_clock::duration>(r.deadline - r.time);
        entry->link = request.link;
        entry->kind = TrafficKind::NoReply;
        entry->bytes = request.bytes;
        entry->length = request.bytes.size();
        const auto waited =
            std::chrono::duration_cast<std::chrono::milliseconds>(r.deadline - r.time);
        entry->text = std::to_string(waited.count()) + " ms";
        entry->windowAddress = request.windowAddress;
        entry->problem = true;
        entry->unit = request.unit;
        entry->function = request.function;
        m_tally.noReply.fetch_add(1, std::memory_order_relaxed);
        Keep(entry);
    }
}

void TrafficLog::ForgetWaitingRequests() {
    m_requests.clear();
}

void TrafficLog::Clear() {
    {
        const std::lock_guard lock(m_mutex);
        m_intake.clear();
        m_intakeBytes = 0;
        m_openDrop.reset();
        m_full.store(false);
        for (std::atomic<std::uint64_t>* count :
             {&m_tally.sent, &m_tally.received, &m_tally.noReply, &m_tally.exceptions,
              &m_tally.droppedBytes, &m_tally.forgotten}) {
            count->store(0);
        }
    }
    m_firstSeq = EndSeq();
    std::deque<TrafficEntryPtr>().swap(m_history);  // the memory goes back, not only the lines
    m_historyBytes = 0;
    m_requests.clear();
}

std::uint64_t TrafficLog::Forgotten() const {
    return m_tally.forgotten.load();
}

bool TrafficLog::Waiting() const {
    const std::lock_guard lock(m_mutex);
    return !m_intake.empty();
}

TrafficCounters TrafficLog::Counters() const {
    return {m_tally.sent.load(), m_tally.received.load(), m_tally.noReply.load(),
            m_tally.exceptions.load(), m_tally.droppedBytes.load()};
}
