#include "trace.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

namespace {

std::string Timestamp() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(now).count();
    char text[32];
    std::snprintf(text, sizeof text, "%lld.%06lld", static_cast<long long>(micros / 1000000),
                  static_cast<long long>(micros % 1000000));
    return text;
}

void WriteLine(const std::string& line) {
    std::fputs(line.c_str(), stderr);  // one call per line: lines of two threads never mix
}

// The listeners of the trace. A frame is handed to them under the lock, so a subscription that
// has ended is never called.
struct Listeners {
    std::mutex mutex;
    std::vector<std::pair<std::uint64_t, TraceListener>> entries;
    std::uint64_t nextId = 1;
    std::atomic<bool> any{false};
};

Listeners& TheListeners() {
    static Listeners listeners;
    return listeners;
}

void HandToListeners(const TraceLink& link, std::string_view direction,
                     std::span<const std::uint8_t> bytes, std::string_view text = {}) {
    Listeners& listeners = TheListeners();
    if (!listeners.any.load(std::memory_order_acquire)) {
        return;
    }
    const TraceEvent event{link, direction, bytes, text};
    const std::lock_guard lock(listeners.mutex);
    for (const auto& entry : listeners.entries) {
        entry.second(event);
    }
}

}  // namespace

TraceSubscription::TraceSubscription(TraceListener listener) {
    Listeners& listeners = TheListeners();
    const std::lock_guard lock(listeners.mutex);
    m_id = listeners.nextId++;
    listeners.entries.emplace_back(m_id, std::move(listener));
    listeners.any.store(true, std::memory_order_release);
}

TraceSubscription::~TraceSubscription() {
    Listeners& listeners = TheListeners();
    const std::lock_guard lock(listeners.mutex);
    std::erase_if(listeners.entries, [this](const auto& entry) { return entry.first == m_id; });
    listeners.any.store(!listeners.entries.empty(), std::memory_order_release);
}

bool TraceSwitchedOnBy(const char* value) {
    if (value == nullptr) {
        return false;
    }
    std::string word(value);
    const auto blank = [](unsigned char c) { return std::isspace(c) != 0; };
    word.erase(std::find_if_not(word.rbegin(), word.rend(), blank).base(), word.end());
    word.erase(word.begin(), std::find_if_not(word.begin(), word.end(), blank));
    std::transform(word.begin(), word.end(), word.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    static constexpr std::array<std::string_view, 5> kOff = {"", "0", "no", "off", "false"};
    return std::find(kOff.begin(), kOff.end(), word) == kOff.end();
}

std::string HexText(std::span<const std::uint8_t> bytes) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string text;
    for (const std::uint8_t byte : bytes) {
        if (!text.empty()) {
            text += ' ';
        }
        text += kHex[byte >> 4];
        text += kHex[byte & 0x0F];
    }
    return text;
}

bool TraceEnabled() {
    static const bool enabled = TraceSwitchedOnBy(std::getenv("KESTREL_TRACE"));
    return enabled;
}

void TraceFrame(const TraceLink& link, std::string_view direction,
                std::span<const std::uint8_t> bytes) {
    HandToListeners(link, direction, bytes);
    if (!TraceEnabled()) {
        return;
    }
    std::string line = Timestamp() + ' ' + link.name + ' ' + std::string(direction);
    if (!bytes.empty()) {
        line += ' ' + HexText(bytes);
    }
    WriteLine(line + '\n');
}

void TraceNote(std::string_view text) {
    if (TraceEnabled()) {
        WriteLine(Timestamp() + ' ' + std::string(text) + '\n');
    }
}

void TraceLinkEvent(const TraceLink& link, std::string_view kind, std::string_view text) {
    HandToListeners(link, kind, {}, text);
    if (TraceEnabled()) {
        WriteLine(Timestamp() + ' ' + link.name + ' ' + std::string(text) + '\n');
    }
}

bool TraceOpening(const TraceLink& link, bool opened, std::string_view detail) {
    if (opened) {
        TraceLinkEvent(link, trace_kind::kOpen, "opened " + std::string(detail));
    } else {
        TraceLinkEvent(link, trace_kind::kFail, detail);
    }
    return opened;
}

void TraceClosing(const TraceLink& link, bool wasOpen) {
    if (wasOpen) {
        TraceLinkEvent(link, trace_kind::kClose, "closed");
    }
}
