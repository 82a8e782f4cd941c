#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <optional>
#include <vector>

#include "frames.h"

namespace sim {

using Clock = std::chrono::steady_clock;

// How replies are paced on their way out.
struct Pacing {
    std::chrono::milliseconds delay{0};  // before the first byte of each frame
    std::size_t pieceBytes = 0;          // 0: the frame goes out whole
    std::chrono::milliseconds piecePause{0};
};

// The bytes waiting to go out on one non-blocking descriptor, each piece with the earliest
// time it may be sent. Pieces leave in order; memory is bounded.
class Outbox {
  public:
    static constexpr std::size_t kLimitBytes = 64 * 1024;

    // Queues a frame; false (and nothing queued) when the outbox is full.
    bool Queue(const std::vector<Byte>& frame, const Pacing& pacing, Clock::time_point now);
    // Writes what is due. False when the descriptor failed (peer gone).
    bool Flush(int fd, Clock::time_point now);

    bool Empty() const { return pieces_.empty(); }
    // True when a due piece is waiting (poll for POLLOUT).
    bool HasDue(Clock::time_point now) const;
    // When the first piece becomes due, if it is not due yet.
    std::optional<Clock::time_point> NextDue() const;

  private:
    struct Piece {
        std::vector<Byte> bytes;
        Clock::time_point due;
        std::size_t sent = 0;
    };

    std::deque<Piece> pieces_;
    std::size_t queuedBytes_ = 0;
    Clock::time_point lastDue_{};
};

}  // namespace sim
