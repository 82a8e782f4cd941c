#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "event_port.h"
#include "frames.h"
#include "reply_watch.h"

// The requests watched for their replies, with the timer that tells, on the loop's time, which of
// them went unanswered: each is watched from just before it goes out until its reply comes or its
// time is up. Received may be called from a reader thread; everything else, and `expired`, runs
// on the loop's thread.
class ReplyDeadline {
  public:
    // Told with the lines of the requests whose time is up, oldest first (never empty).
    using Expired = std::function<void(const std::vector<std::string>& lines)>;

    ReplyDeadline(EventPort& loop, Expired expired);
    ~ReplyDeadline();
    ReplyDeadline(const ReplyDeadline&) = delete;
    ReplyDeadline& operator=(const ReplyDeadline&) = delete;

    // To be called before the request goes out: its reply is due `within` from now.
    void Watch(ReplyWatch::Request request, std::chrono::milliseconds within);
    // The request last watched did not go out after all.
    void WithdrawNewest();
    // Any thread: a reply frame from its unit byte on; the report line when it refuses a
    // watched request.
    std::optional<std::string> Received(std::span<const Byte> frame);
    // Nothing is watched any more (the link ended).
    void Clear();
    std::size_t Watched() const { return m_watch.Watched(); }

  private:
    void Schedule();
    void OnTimer();

    EventPort& m_loop;
    Expired m_expired;
    ReplyWatch m_watch;
    std::unique_ptr<Timer> m_timer;
};
