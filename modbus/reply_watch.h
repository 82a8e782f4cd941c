#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "frames.h"

// The standard name of a Modbus exception code ("illegal data address"), or "unknown exception".
const char* ExceptionName(Byte code);

// Watches the requests sent on a link for the replies that answer them. A reply answers the
// oldest watched request with the same unit and function (and, for a coil write, the same coil);
// an exception reply (function | 0x80) answers it with a refusal. Requests never delay, queue or
// repeat: the watch only tells the operator which of them went unanswered or were refused.
// Safe to use from two threads (a serial reader reports replies while the window sends).
class ReplyWatch {
  public:
    using Clock = std::chrono::steady_clock;

    struct Request {
        Byte unit;
        Byte function;
        Byte coil;         // low byte of the coil address; only compared for function 5
        std::string name;  // the request as the operator knows it ("RL1 Closed")
    };
    // What the reply to the command table's entry k, as it stands, answers to.
    static Request ForCommand(int k, std::string name);

    // To be called before the request goes out, so a quick reply always finds it watched.
    void Sent(Request request, Clock::time_point deadline);
    // The request last passed to Sent did not go out after all.
    void WithdrawNewest();
    // A reply frame from its unit byte on. The report line when it refuses a watched request.
    std::optional<std::string> Received(std::span<const Byte> frame);
    // The lines for the requests whose deadline has passed, oldest first; they are forgotten.
    std::vector<std::string> Expired(Clock::time_point now);
    // The earliest deadline still watched.
    std::optional<Clock::time_point> NextDeadline() const;
    void Clear();
    std::size_t Watched() const;

  private:
    struct Pending {
        Request request;
        Clock::time_point deadline;
    };

    mutable std::mutex m_mutex;
    std::deque<Pending> m_pending;
};

// How long a request may wait for its reply: a second, and on a serial line the time the request
// and the longest reply take on the wire at the rate (0 for a network link).
std::chrono::milliseconds ReplyTimeout(std::uint32_t baud = 0);
