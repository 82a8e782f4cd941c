// CSerialPort on POSIX termios. Every call into the platform's serial interface lives here.
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <iterator>
#include <string>

#include "serial_port.h"

namespace {

using Clock = std::chrono::steady_clock;
using Milliseconds = std::chrono::milliseconds;

// Longest bound a read or write ever waits, so huge sizes cannot overflow the clock.
constexpr std::uint64_t kLongestBoundMs = 24ull * 60 * 60 * 1000;
constexpr std::uint64_t kWriteMsPerByte = 100;
constexpr std::uint64_t kWriteExtraMs = 500;

// Readable, and never drained, once the program is ending. Made with the first port, before any
// signal handler can ask for it; the handler only reads the descriptor and writes to it.
std::atomic<int> g_endingFd{-1};
std::atomic<bool> g_ending{false};

void MakeEndingDescriptor() {
    static const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    g_endingFd.store(fd);
}

struct BaudCode {
    std::uint32_t baud;
    speed_t code;
};

constexpr BaudCode kBaudCodes[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000},
};

bool LookUpBaud(std::uint32_t baud, speed_t& code) {
    const auto* found = std::find_if(std::begin(kBaudCodes), std::end(kBaudCodes),
                                     [baud](const BaudCode& entry) { return entry.baud == baud; });
    if (found == std::end(kBaudCodes)) return false;
    code = found->code;
    return true;
}

bool LookUpCharSize(std::uint8_t byteSize, tcflag_t& flag) {
    switch (byteSize) {
        case 5:
            flag = CS5;
            return true;
        case 6:
            flag = CS6;
            return true;
        case 7:
            flag = CS7;
            return true;
        case 8:
            flag = CS8;
            return true;
        default:
            return false;
    }
}

Clock::time_point DeadlineAfter(std::uint64_t ms) {
    return Clock::now() + Milliseconds(std::min(ms, kLongestBoundMs));
}

// Rounded up, so a wait that times out has really reached the deadline.
int MillisecondsLeft(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<Milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
}

// Polls for the events until the deadline. The returned revents are 0 on a time-out;
// a negative value reports a failed poll.
int PollUntil(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        pollfd entry{fd, events, 0};
        const int ready = ::poll(&entry, 1, MillisecondsLeft(deadline));
        if (ready > 0) return entry.revents;
        if (ready == 0) return 0;
        if (errno != EINTR) return -1;
    }
}

// Polls for bytes until the deadline or until the wake descriptor becomes readable (the wake is
// then taken). The returned revents are 0 on a time-out or a wake; negative on a failed poll.
int PollUntilOrWoken(int fd, int wake, Clock::time_point deadline) {
    for (;;) {
        std::array<pollfd, 3> entries{
            {{fd, POLLIN, 0}, {wake, POLLIN, 0}, {g_endingFd.load(), POLLIN, 0}}};
        const int ready = ::poll(entries.data(), entries.size(), MillisecondsLeft(deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return -1;
        if (entries[0].revents == 0 && entries[1].revents != 0) {
            std::uint64_t wakes = 0;
            [[maybe_unused]] const auto drained = ::read(wake, &wakes, sizeof wakes);
        }
        return entries[0].revents;
    }
}

int PollForever(int fd, short events) {
    for (;;) {
        pollfd entry{fd, events, 0};
        const int ready = ::poll(&entry, 1, -1);
        if (ready > 0) return entry.revents;
        if (ready < 0 && errno != EINTR) return -1;
    }
}

int BytesWaiting(int fd) {
    int count = 0;
    if (::ioctl(fd, FIONREAD, &count) != 0) return 0;
    return count;
}

// One non-blocking read. Returns the bytes read (0 when none are there yet), or -1 when the
// line hung up or failed: a tty that hung up reads 0 (our VMIN of 1 keeps an idle line at
// EAGAIN), a pty whose other side closed reads EIO.
long ReadSome(int fd, std::uint8_t* buffer, std::uint32_t capacity) {
    for (;;) {
        const ssize_t got = ::read(fd, buffer, capacity);
        if (got > 0) return static_cast<long>(got);
        if (got == 0) return -1;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        return -1;
    }
}

// Polls for room to write until the deadline or until the program is ending. The returned
// revents are 0 on a time-out or at the end; negative on a failed poll.
int PollWritableUntilEnding(int fd, Clock::time_point deadline) {
    for (;;) {
        std::array<pollfd, 2> entries{{{fd, POLLOUT, 0}, {g_endingFd.load(), POLLIN, 0}}};
        const int ready = ::poll(entries.data(), entries.size(), MillisecondsLeft(deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return -1;
        return entries[1].revents != 0 ? 0 : entries[0].revents;
    }
}

enum class WriteEnd : std::uint8_t { Written, Failed, Ending };

WriteEnd WriteAll(int fd, const std::uint8_t* data, std::uint32_t count) {
    const auto deadline = DeadlineAfter(kWriteMsPerByte * count + kWriteExtraMs);
    std::uint32_t written = 0;
    while (written < count) {
        const ssize_t sent = ::write(fd, data + written, count - written);
        if (sent > 0) {
            written += static_cast<std::uint32_t>(sent);
            continue;
        }
        if (sent < 0 && errno == EINTR) continue;
        if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return WriteEnd::Failed;
        const int revents = PollWritableUntilEnding(fd, deadline);
        if (g_ending.load()) return WriteEnd::Ending;
        if (revents <= 0 || Clock::now() >= deadline) return WriteEnd::Failed;
    }
    return WriteEnd::Written;
}

// Raw 8N1, receiver on, modem lines ignored, no flow control. VMIN 1 / VTIME 0 so an idle
// non-blocking read reports EAGAIN rather than 0, which stays the sign of a hang-up.
bool SetRawLine(int fd) {
    termios line{};
    if (::tcgetattr(fd, &line) != 0) return false;
    ::cfmakeraw(&line);
    line.c_cflag |= CLOCAL | CREAD;
    line.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    line.c_cflag |= CS8;
    line.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
    line.c_cc[VMIN] = 1;
    line.c_cc[VTIME] = 0;
    return ::tcsetattr(fd, TCSANOW, &line) == 0;
}

std::string ErrorText(int error) {
    if (error == EWOULDBLOCK) return "held by another program";
    return std::strerror(error);
}

// Opens the device for this program alone: flock keeps other openers out (root ignores
// TIOCEXCL), TIOCEXCL keeps out programs that do not lock. Returns -1 and the reason on failure.
int OpenExclusive(const std::string& path, std::string& error) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = ErrorText(errno);
        return -1;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::ioctl(fd, TIOCEXCL) != 0 || !SetRawLine(fd)) {
        error = ErrorText(errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

void ApplyParity(termios& line, std::uint8_t parity) {
    line.c_cflag &= ~(PARENB | PARODD);
    line.c_iflag &= ~INPCK;
    if (parity == 0) return;
    line.c_cflag |= PARENB;
    if (parity == 1) line.c_cflag |= PARODD;
    line.c_iflag |= INPCK;
}

void ApplyLineSettings(termios& line, std::uint32_t baud, std::uint8_t byteSize,
                       std::uint8_t stopBits, std::uint8_t parity) {
    speed_t speed = 0;
    if (LookUpBaud(baud, speed)) {
        ::cfsetispeed(&line, speed);
        ::cfsetospeed(&line, speed);
    }
    tcflag_t charSize = 0;
    if (LookUpCharSize(byteSize, charSize)) line.c_cflag = (line.c_cflag & ~CSIZE) | charSize;
    if (stopBits == 0) line.c_cflag &= ~CSTOPB;
    if (stopBits == 1 || stopBits == 2) line.c_cflag |= CSTOPB;  // 1.5 stop bits: two here
    if (parity <= 2) ApplyParity(line, parity);
}

}  // namespace

CSerialPort::CSerialPort() : m_wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    MakeEndingDescriptor();
}

CSerialPort::~CSerialPort() {
    Close();
    ::close(m_wake);
}

bool CSerialPort::OpenDevice(const std::string& path, std::uint32_t baud, std::uint8_t byteSize,
                             std::uint8_t stopBits, std::uint8_t parity) {
    Close();
    m_strPath = path;
    m_strError.clear();
    const int fd = OpenExclusive(m_strPath, m_strError);
    if (fd < 0) {
        ShowMessage("Open com failed!");
        return false;
    }
    m_hCom.store(fd);
    m_readMultiplier.store(0);
    m_bLineLost.store(false, std::memory_order_release);
    m_bOpen.store(true, std::memory_order_release);
    Configure(baud, byteSize, stopBits, parity);
    ::tcflush(fd, TCIOFLUSH);
    return true;
}

void CSerialPort::Close() {
    const int fd = m_hCom.exchange(-1);
    m_bOpen.store(false, std::memory_order_release);
    m_bLineLost.store(false, std::memory_order_release);
    if (fd < 0) return;
    // A pty slave outlives our close while its master stays open; drop the exclusive flag
    // so the next opener is not refused.
    ::ioctl(fd, TIOCNXCL);
    ::close(fd);
}

void CSerialPort::Configure(std::uint32_t baud, std::uint8_t byteSize, std::uint8_t stopBits,
                            std::uint8_t parity) {
    const int fd = m_hCom.load();
    if (!IsOpen() || fd < 0) return;
    termios line{};
    if (::tcgetattr(fd, &line) != 0) return;
    ApplyLineSettings(line, baud, byteSize, stopBits, parity);
    ::tcsetattr(fd, TCSANOW, &line);
}

bool CSerialPort::SetReadTimeout(std::uint32_t multiplierMs) {
    m_readMultiplier.store(multiplierMs);
    return IsOpen();
}

void CSerialPort::Write(const std::uint8_t* data, std::uint32_t count) {
    if (count == 0) return;
    const int fd = m_hCom.load();
    if (!IsOpen() || fd < 0 || data == nullptr) {
        ShowMessage("Write com failed");
    } else if (WriteAll(fd, data, count) == WriteEnd::Failed) {
        ShowMessage("Write com failed");
    }
}

void CSerialPort::EndAllWaits() {
    g_ending.store(true);
    const int fd = g_endingFd.load();
    const std::uint64_t one = 1;
    if (fd >= 0) {
        [[maybe_unused]] const auto written = ::write(fd, &one, sizeof one);
    }
}

bool CSerialPort::Ending() {
    return g_ending.load();
}

std::uint32_t CSerialPort::Read(std::uint8_t* buffer, std::uint32_t capacity) {
    const int fd = m_hCom.load();
    if (!IsOpen() || fd < 0 || buffer == nullptr || capacity == 0) return 0;
    const std::uint64_t multiplier = m_readMultiplier.load();
    const auto deadline = DeadlineAfter(multiplier * capacity + multiplier);
    std::uint32_t received = 0;
    for (;;) {
        const long got = ReadSome(fd, buffer + received, capacity - received);
        if (got < 0) {
            // Bytes that came before the hang-up are still handed over; the next read gives 0.
            m_bLineLost.store(true, std::memory_order_release);
            return received;
        }
        received += static_cast<std::uint32_t>(got);
        if (received == capacity || multiplier == 0 || Clock::now() >= deadline) {
            return received;
        }
        const int revents = PollUntilOrWoken(fd, m_wake, deadline);
        if (revents < 0) m_bLineLost.store(true, std::memory_order_release);
        if (revents <= 0) return received;
    }
}

CSerialPort::WaitResult CSerialPort::WaitReadable(int timeoutMs) {
    const int fd = m_hCom.load();
    if (!IsOpen() || fd < 0) return WaitResult::LineLost;
    const int revents =
        timeoutMs < 0 ? PollForever(fd, POLLIN)
                      : PollUntil(fd, POLLIN, DeadlineAfter(static_cast<unsigned>(timeoutMs)));
    return JudgeWait(fd, revents);
}

CSerialPort::WaitResult CSerialPort::WaitReadableOrWoken() {
    const int fd = m_hCom.load();
    if (!IsOpen() || fd < 0) return WaitResult::LineLost;
    for (;;) {
        std::array<pollfd, 2> entries{{{fd, POLLIN, 0}, {m_wake, POLLIN, 0}}};
        const int ready = ::poll(entries.data(), entries.size(), -1);
        if (ready < 0 && errno == EINTR) continue;
        if (ready > 0 && entries[1].revents != 0 && entries[0].revents == 0) {
            std::uint64_t wakes = 0;
            [[maybe_unused]] const auto drained = ::read(m_wake, &wakes, sizeof wakes);
            return WaitResult::Timeout;
        }
        return JudgeWait(fd, ready < 0 ? -1 : entries[0].revents);
    }
}

void CSerialPort::WakeWaiter() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(m_wake, &one, sizeof one);
}

void CSerialPort::ForgetWake() {
    std::uint64_t wakes = 0;
    [[maybe_unused]] const auto drained = ::read(m_wake, &wakes, sizeof wakes);
}

CSerialPort::WaitResult CSerialPort::JudgeWait(int fd, int revents) {
    if (revents == 0) return WaitResult::Timeout;
    // Bytes that arrived before a hang-up are read first; the wait after them reports it.
    const bool hungUp = revents < 0 || (revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
    if (!hungUp || ((revents & POLLIN) != 0 && BytesWaiting(fd) > 0)) {
        return WaitResult::Readable;
    }
    m_bLineLost.store(true, std::memory_order_release);
    return WaitResult::LineLost;
}
