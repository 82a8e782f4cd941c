#include "reply_watch.h"

#include <algorithm>
#include <array>

#include "codec.h"

namespace {

constexpr std::chrono::milliseconds kNetworkReplyTimeout{1000};
// A request (8 bytes) and the longest reply the panel asks for (function 4: 9 bytes), with
// some slack for the module's turnaround, at ten bits a byte.
constexpr std::uint32_t kRoundTripBits = (8 + 9 + 4) * 10;

bool Answers(const ReplyWatch::Request& request, Byte unit, Byte function,
             std::span<const Byte> frame) {
    if (request.unit != unit || request.function != function) {
        return false;
    }
    return function != kFuncWriteCoil || (frame.size() > 3 && frame[3] == request.coil);
}

std::string RefusalLine(const ReplyWatch::Request& request, Byte code) {
    return "Unit " + std::to_string(request.unit) + " refused " + request.name + ": exception " +
           std::to_string(code) + " (" + ExceptionName(code) + ")";
}

}  // namespace

const char* ExceptionName(Byte code) {
    static constexpr std::array<const char*, 12> kNames = {
        "unknown exception",  "illegal function",         "illegal data address",
        "illegal data value", "server device failure",    "acknowledge",
        "server device busy", "unknown exception",        "memory parity error",
        "unknown exception",  "gateway path unavailable", "gateway target device failed to respond",
    };
    return code < kNames.size() ? kNames[code] : kNames[0];
}

ReplyWatch::Request ReplyWatch::ForCommand(int k, std::string name) {
    const CommandEntry& entry = CommandTable.at(static_cast<std::size_t>(k));
    return {entry[6], entry[7], entry[9], std::move(name)};
}

void ReplyWatch::Sent(Request request, Clock::time_point deadline) {
    const std::lock_guard lock(m_mutex);
    m_pending.push_back({std::move(request), deadline});
}

void ReplyWatch::WithdrawNewest() {
    const std::lock_guard lock(m_mutex);
    if (!m_pending.empty()) {
        m_pending.pop_back();
    }
}

std::optional<std::string> ReplyWatch::Received(std::span<const Byte> frame) {
    if (frame.size() < 2) {
        return std::nullopt;
    }
    const bool refusal = (frame[1] & kExceptionBit) != 0;
    const auto function = static_cast<Byte>(frame[1] & ~kExceptionBit);
    const std::lock_guard lock(m_mutex);
    const auto answered = std::find_if(m_pending.begin(), m_pending.end(), [&](const Pending& p) {
        return refusal ? p.request.unit == frame[0] && p.request.function == function
                       : Answers(p.request, frame[0], function, frame);
    });
    if (answered == m_pending.end()) {
        return std::nullopt;  // an unsolicited report, or a reply nobody waits for
    }
    const Request request = answered->request;
    m_pending.erase(answered);
    if (!refusal) {
        return std::nullopt;
    }
    return RefusalLine(request, frame.size() > 2 ? frame[2] : Byte{0});
}

std::vector<std::string> ReplyWatch::Expired(Clock::time_point now) {
    std::vector<std::string> lines;
    const std::lock_guard lock(m_mutex);
    const auto late = std::stable_partition(m_pending.begin(), m_pending.end(),
                                            [now](const Pending& p) { return p.deadline <= now; });
    for (auto it = m_pending.begin(); it != late; ++it) {
        lines.push_back("No reply from unit " + std::to_string(it->request.unit) + " to " +
                        it->request.name);
    }
    m_pending.erase(m_pending.begin(), late);
    return lines;
}

std::optional<ReplyWatch::Clock::time_point> ReplyWatch::NextDeadline() const {
    const std::lock_guard lock(m_mutex);
    if (m_pending.empty()) {
        return std::nullopt;
    }
    return std::min_element(
               m_pending.begin(), m_pending.end(),
               [](const Pending& a, const Pending& b) { return a.deadline < b.deadline; })
        ->deadline;
}

void ReplyWatch::Clear() {
    const std::lock_guard lock(m_mutex);
    m_pending.clear();
}

std::size_t ReplyWatch::Watched() const {
    const std::lock_guard lock(m_mutex);
    return m_pending.size();
}

std::chrono::milliseconds ReplyTimeout(std::uint32_t baud) {
    if (baud == 0) {
        return kNetworkReplyTimeout;
    }
    return kNetworkReplyTimeout +
           std::chrono::milliseconds((kRoundTripBits * 1000 + baud - 1) / baud);
}
