#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "frames.h"
#include "trace.h"

// What the traffic monitor keeps, filters, counts and pairs, with no window: the history bounded
// in bytes, the requests waiting for their reply, the counters, and each line as text or CSV.

enum class TrafficKind : std::uint8_t {
    Sent,
    Received,
    Dropped,
    Opened,
    Closed,
    Failed,
    Step,
    NoReply
};

// One monitor line: a frame, a run of dropped bytes, or an event of a link.
struct TrafficEntry {
    static constexpr std::size_t kDropHead = 16;  // the bytes a drop line keeps of its run

    std::uint64_t seq = 0;
    std::chrono::steady_clock::time_point time;
    std::chrono::system_clock::time_point wallTime;
    TraceLink link;
    TrafficKind kind = TrafficKind::Sent;
    // The frame whole (a Modbus TCP frame with its header, an RTU frame with its CRC); the first
    // bytes of a dropped run; the request a no-reply line is about.
    std::vector<Byte> bytes;
    std::atomic<std::uint64_t> length{0};  // bytes on the wire; a drop run grows while it goes on
    std::string text;                      // an event's words
    Byte windowAddress = 0;                // the address echoes were told apart by when it came
    bool problem = false;
    std::optional<double> responseMs;  // a reply: how long after its request it came
    int unit = -1;                     // of the frame (or of a no-reply's request); -1: none
    int function = -1;                 // without the exception bit; -1: none
};
using TrafficEntryPtr = std::shared_ptr<const TrafficEntry>;

struct TrafficCounters {
    std::uint64_t sent = 0;
    std::uint64_t received = 0;
    std::uint64_t noReply = 0;
    std::uint64_t exceptions = 0;
    std::uint64_t droppedBytes = 0;
};

enum class TrafficDirection : std::uint8_t { Any, Sent, Received };

// Which lines the view shows. A unit or function chosen leaves out the lines that have none.
struct TrafficFilter {
    TrafficDirection direction = TrafficDirection::Any;
    std::optional<Byte> unit;
    std::optional<Byte> function;
    bool problemsOnly = false;

    bool Matches(const TrafficEntry& entry) const;
};

enum class TrafficTime : std::uint8_t { SinceOpen, WallClock };

// The columns of a line as the view, the clipboard and the files show them.
struct TrafficColumns {
    std::string time;
    std::string link;       // "TCP", "COM5 9600"
    std::string direction;  // tx, rx, drop, open, close, fail, step, none
    std::string hex;        // a long dropped run: its first bytes and "..."
    std::string decode;     // a problem's words start with "problem: "
    std::string response;   // "1.234 ms", or empty
};
TrafficColumns ColumnsOf(const TrafficEntry& entry, TrafficTime mode,
                         std::chrono::steady_clock::time_point openedAt);
// "   1234.567  COM5 9600   tx    05 05 00 10 FF 00 8C 7E  write RL1 on, unit 5"
std::string TrafficLineText(const TrafficEntry& entry, TrafficTime mode,
                            std::chrono::steady_clock::time_point openedAt);
// time,link,direction,hex,decode,response_ms: the text fields quoted.
std::string TrafficCsvLine(const TrafficEntry& entry, TrafficTime mode,
                           std::chrono::steady_clock::time_point openedAt);
inline constexpr const char* kTrafficCsvHeader = "time,link,direction,hex,decode,response_ms";

// The history and its intake. `Add` may be called on any thread (the trace's listener); the rest
// on the owner's thread only. Frames wait in the intake until `Take` moves them into the history;
// both are bounded in bytes: in the history the oldest lines give way, and a full intake takes
// nothing more until it has room; either way they are counted. The counters count every frame,
// whatever was kept.
class TrafficLog {
  public:
    struct Limits {
        static constexpr std::size_t kHistoryBytes = std::size_t{64} << 20;
        static constexpr std::size_t kWaitingBytes = std::size_t{1} << 20;
        std::size_t historyBytes = kHistoryBytes;
        std::size_t waitingBytes = kWaitingBytes;
    };
    using Clock = std::chrono::steady_clock;

    explicit TrafficLog(Limits limits);
    TrafficLog() : TrafficLog(Limits{}) {}

    // Any thread: one traced frame or event, which happened `at` (by default: now). A drop right
    // after a drop on the same link adds to its run instead of making a line.
    void Add(const TraceEvent& event, std::optional<Clock::time_point> at = std::nullopt);

    // Moves at most `most` waiting lines into the history, pairs replies with their requests,
    // and makes a no-reply line of each request whose time ran out by `now`. The lines taken.
    std::size_t Take(std::size_t most, Clock::time_point now);
    void SetWindowAddress(Byte address) { m_windowAddress = address; }
    // Forgets the requests waiting for replies (a monitor that stops listening).
    void ForgetWaitingRequests();
    void Clear();

    // Lines are numbered from 0 as they come; the history holds [FirstSeq, EndSeq).
    std::uint64_t FirstSeq() const { return m_firstSeq; }
    std::uint64_t EndSeq() const { return m_firstSeq + m_history.size(); }
    const TrafficEntryPtr& BySeq(std::uint64_t seq) const { return m_history[seq - m_firstSeq]; }
    std::size_t Size() const { return m_history.size(); }
    std::size_t HistoryBytes() const { return m_historyBytes; }
    std::vector<TrafficEntryPtr> Snapshot() const { return {m_history.begin(), m_history.end()}; }
    // Lines the history or the intake no longer keeps.
    std::uint64_t Forgotten() const;
    bool Waiting() const;
    TrafficCounters Counters() const;
    // What one line costs the history, roughly, in bytes.
    static std::size_t CostOf(const TrafficEntry& entry);

  private:
    struct Request {
        std::string link;
        Byte unit;
        Byte function;
        std::uint16_t address;
        Clock::time_point time;
        Clock::time_point deadline;
        std::shared_ptr<const TrafficEntry> entry;
    };
    void Keep(const std::shared_ptr<TrafficEntry>& entry);
    void Pair(const std::shared_ptr<TrafficEntry>& entry);
    void ExpireRequests(Clock::time_point now);

    Limits m_limits;
    Byte m_windowAddress = 0;
    std::deque<TrafficEntryPtr> m_history;
    std::uint64_t m_firstSeq = 0;
    std::size_t m_historyBytes = 0;
    std::deque<Request> m_requests;  // sent, waiting for their reply, oldest first

    mutable std::mutex m_mutex;  // the intake: Add on any thread, Take on the owner's
    std::deque<std::shared_ptr<TrafficEntry>> m_intake;
    std::size_t m_intakeBytes = 0;
    std::shared_ptr<TrafficEntry> m_openDrop;  // the run the next drop on its link adds to
    std::atomic<bool> m_full{false};           // the intake has no room: Add only counts

    struct Tally {
        std::atomic<std::uint64_t> sent{0};
        std::atomic<std::uint64_t> received{0};
        std::atomic<std::uint64_t> noReply{0};
        std::atomic<std::uint64_t> exceptions{0};
        std::atomic<std::uint64_t> droppedBytes{0};
        std::atomic<std::uint64_t> forgotten{0};
    } m_tally;
};
