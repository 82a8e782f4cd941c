#include "outbox.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace sim {

bool Outbox::Queue(const std::vector<Byte>& frame, const Pacing& pacing, Clock::time_point now) {
    if (queuedBytes_ + frame.size() > kLimitBytes) return false;
    const std::size_t step = pacing.pieceBytes == 0 ? frame.size() : pacing.pieceBytes;
    // A frame never overtakes the one before it.
    Clock::time_point due = std::max(now + pacing.delay, lastDue_);
    for (std::size_t at = 0; at < frame.size(); at += step) {
        const std::size_t end = std::min(frame.size(), at + step);
        if (at > 0) due += pacing.piecePause;
        pieces_.push_back({{frame.begin() + static_cast<std::ptrdiff_t>(at),
                            frame.begin() + static_cast<std::ptrdiff_t>(end)},
                           due,
                           0});
    }
    lastDue_ = due;
    queuedBytes_ += frame.size();
    return true;
}

bool Outbox::HasDue(Clock::time_point now) const {
    return !pieces_.empty() && pieces_.front().due <= now;
}

std::optional<Clock::time_point> Outbox::NextDue() const {
    if (pieces_.empty()) return std::nullopt;
    return pieces_.front().due;
}

bool Outbox::Flush(int fd, Clock::time_point now) {
    while (HasDue(now)) {
        Piece& piece = pieces_.front();
        const std::size_t left = piece.bytes.size() - piece.sent;
        // send() keeps a vanished TCP peer from raising SIGPIPE; a terminal needs write().
        ssize_t n = ::send(fd, piece.bytes.data() + piece.sent, left, MSG_NOSIGNAL);
        if (n < 0 && errno == ENOTSOCK) n = ::write(fd, piece.bytes.data() + piece.sent, left);
        if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        piece.sent += static_cast<std::size_t>(n);
        queuedBytes_ -= static_cast<std::size_t>(n);
        if (piece.sent < piece.bytes.size()) return true;
        pieces_.pop_front();
    }
    return true;
}

}  // namespace sim
