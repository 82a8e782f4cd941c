#include "pty_module.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

#include "codec.h"

namespace {

constexpr std::size_t kRequestSize = 8;
constexpr std::array<std::uint8_t, 6> kSearchRead = {0xFF, 0x03, 0x00, 0x3F, 0x00, 0x05};
// The parameter block of the search reply: address 1 first, then the rest of the settings.
constexpr std::array<std::uint8_t, 10> kParams = {0x01, 0x00, 0x02, 0x07, 0x16,
                                                  0x00, 0x00, 0x00, 0x00, 0x00};

std::vector<std::uint8_t> SearchReply() {
    // Built in place: GCC 12 misreads a range insert into a short vector at -O2.
    std::array<std::uint8_t, 3 + kParams.size()> message{0xFF, 0x03, kParams.size()};
    std::copy(kParams.begin(), kParams.end(), message.begin() + 3);
    return EncodeRtu(message);  // 15 bytes
}

bool IsSearchRead(const std::uint8_t* request) {
    return std::equal(kSearchRead.begin(), kSearchRead.end(), request);
}

}  // namespace

PtyModule::PtyModule(const QString& comDir, int com, bool answering) : m_answering(answering) {
    if (!m_line.Ready() || ::pipe2(m_wake, O_CLOEXEC) != 0) {
        return;
    }
    m_line.KeepSlaveOpen();  // keeps the line up while the panel has the port closed
    if (!m_line.Publish(comDir.toStdString(), com)) {
        m_line.CloseMaster();
        return;
    }
    m_thread = std::thread([this] { Serve(); });
}

PtyModule::~PtyModule() {
    StopFlood();
    if (m_thread.joinable()) {
        const char byte = 0;
        [[maybe_unused]] const auto ignored = ::write(m_wake[1], &byte, 1);
        m_thread.join();
    }
    for (const int fd : m_wake) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

void PtyModule::ReserveStamps(std::size_t count) {
    const std::lock_guard lock(m_mutex);
    m_stamps.assign(count, Clock::time_point{});
    m_stampCount = 0;
}

std::vector<PtyModule::Clock::time_point> PtyModule::TakeStamps() {
    const std::lock_guard lock(m_mutex);
    std::vector<Clock::time_point> taken(m_stamps.begin(),
                                         m_stamps.begin() + static_cast<long>(m_stampCount));
    m_stampCount = 0;
    return taken;
}

void PtyModule::Serve() {
    std::array<std::uint8_t, 512> chunk{};
    std::vector<std::uint8_t> pending;
    for (;;) {
        pollfd fds[2] = {{m_line.Master(), POLLIN, 0}, {m_wake[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) {
            return;
        }
        if (fds[1].revents != 0) {
            return;
        }
        if ((fds[0].revents & POLLIN) == 0) {
            continue;
        }
        const ssize_t got = ::read(m_line.Master(), chunk.data(), chunk.size());
        if (got <= 0) {
            continue;
        }
        pending.insert(pending.end(), chunk.begin(), chunk.begin() + got);
        std::size_t used = 0;
        for (; pending.size() - used >= kRequestSize; used += kRequestSize) {
            Answer(pending.data() + used);
        }
        pending.erase(pending.begin(), pending.begin() + static_cast<long>(used));
    }
}

void PtyModule::Answer(const std::uint8_t* request) {
    if (!m_answering) {
        return;
    }
    if (IsSearchRead(request)) {
        const auto reply = SearchReply();
        WriteAll(reply.data(), reply.size());
    } else if (request[1] == 0x05) {
        WriteAll(request, kRequestSize);  // the echo is the request itself
        const auto written = Clock::now();
        const std::lock_guard lock(m_mutex);
        if (m_stampCount < m_stamps.size()) {
            m_stamps[m_stampCount++] = written;
        }
        ++m_echoes;
    }
}

void PtyModule::WriteAll(const std::uint8_t* data, std::size_t count) {
    while (count > 0) {
        const ssize_t sent = ::write(m_line.Master(), data, count);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            return;
        }
        data += sent;
        count -= static_cast<std::size_t>(sent);
    }
}

void PtyModule::StartFlood(std::vector<std::uint8_t> pattern, std::size_t total) {
    m_floodThread =
        std::thread([this, pattern = std::move(pattern), total] { Flood(pattern, total); });
}

void PtyModule::Flood(const std::vector<std::uint8_t>& pattern, std::size_t total) {
    constexpr std::size_t kPiece = 4096;
    for (std::size_t sent = 0; sent < total && !m_floodStop.load();) {
        const std::size_t at = sent % pattern.size();
        const std::size_t size = std::min({kPiece, pattern.size() - at, total - sent});
        const ssize_t wrote = ::write(m_line.Master(), pattern.data() + at, size);
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        if (wrote <= 0) {
            break;
        }
        sent += static_cast<std::size_t>(wrote);
    }
    m_floodWritten = true;
}

int PtyModule::Unread() const {
    int unread = 0;
    return ::ioctl(m_line.SlaveKeeper(), FIONREAD, &unread) == 0 ? unread : -1;
}

// A writer blocked on a full line is freed by reading the line empty from this side.
void PtyModule::StopFlood() {
    if (!m_floodThread.joinable()) {
        return;
    }
    m_floodStop = true;
    std::array<std::uint8_t, 4096> sink{};
    while (!m_floodWritten.load()) {
        pollfd line = {m_line.SlaveKeeper(), POLLIN, 0};
        if (::poll(&line, 1, 10) > 0) {
            [[maybe_unused]] const auto ignored =
                ::read(m_line.SlaveKeeper(), sink.data(), sink.size());
        }
    }
    m_floodThread.join();
}
