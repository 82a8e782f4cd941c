#include "reply_deadline.h"

#include <algorithm>

ReplyDeadline::ReplyDeadline(EventPort& loop, Expired expired)
    : m_loop(loop), m_expired(std::move(expired)), m_timer(loop.MakeTimer()) {}

ReplyDeadline::~ReplyDeadline() = default;

void ReplyDeadline::Watch(ReplyWatch::Request request, std::chrono::milliseconds within) {
    m_watch.Sent(std::move(request), m_loop.Now() + within);
    Schedule();
}

void ReplyDeadline::WithdrawNewest() {
    m_watch.WithdrawNewest();
    Schedule();
}

// The timer is left as it is: it belongs to the loop's thread, and finds nothing due when the
// reply took the request it was set for.
std::optional<std::string> ReplyDeadline::Received(std::span<const Byte> frame) {
    return m_watch.Received(frame);
}

void ReplyDeadline::Clear() {
    m_watch.Clear();
    m_timer->Stop();
}

void ReplyDeadline::Schedule() {
    const auto next = m_watch.NextDeadline();
    if (!next) {
        m_timer->Stop();
        return;
    }
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*next - m_loop.Now());
    m_timer->Start(std::max(wait, std::chrono::milliseconds(0)), [this] { OnTimer(); });
}

void ReplyDeadline::OnTimer() {
    const std::vector<std::string> lines = m_watch.Expired(m_loop.Now());
    Schedule();
    if (!lines.empty() && m_expired) {
        m_expired(lines);
    }
}
