#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <thread>

#include "serial_port.h"
#include "signal_watch.h"

namespace {

constexpr std::array<int, 2> kSignals = {SIGINT, SIGTERM};

int g_pipe[2] = {-1, -1};
// Lock-free, so the handler may store it and any thread read it.
std::atomic<int> g_signal{0};
static_assert(std::atomic<int>::is_always_lock_free);

void OnTerminationSignal(int signo) {
    const int savedErrno = errno;
    g_signal.store(signo);
    CSerialPort::EndAllWaits();
    const char byte = 1;
    [[maybe_unused]] const auto ignored = ::write(g_pipe[1], &byte, 1);  // full: one is enough
    errno = savedErrno;
}

}  // namespace

struct SignalWatch::Platform {
    std::array<struct sigaction, kSignals.size()> previous{};
    int stopFd = -1;
    std::thread thread;
    LifeToken life;

    ~Platform() {
        if (thread.joinable()) {
            const std::uint64_t one = 1;
            [[maybe_unused]] const auto written = ::write(stopFd, &one, sizeof one);
            thread.join();
        }
        for (std::size_t n = 0; n < kSignals.size(); ++n) {
            ::sigaction(kSignals[n], &previous[n], nullptr);
        }
        for (int& fd : {std::ref(g_pipe[0]), std::ref(g_pipe[1]), std::ref(stopFd)}) {
            if (fd >= 0) {
                ::close(fd);
                fd = -1;
            }
        }
    }

    // The watch's thread: each wake of the pipe becomes one call on the loop.
    static void Watch(int signalFd, int stop, EventPort& loop, std::function<void()> tell) {
        for (;;) {
            std::array<pollfd, 2> entries{{{signalFd, POLLIN, 0}, {stop, POLLIN, 0}}};
            if (::poll(entries.data(), entries.size(), -1) < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (entries[1].revents != 0) {
                return;
            }
            std::array<char, 64> bytes{};
            while (::read(signalFd, bytes.data(), bytes.size()) > 0) {
            }
            loop.Post(tell);
        }
    }
};

SignalWatch::SignalWatch(EventPort& loop, std::function<void(int signo)> caught)
    : m_platform(std::make_unique<Platform>()) {
    Platform& platform = *m_platform;
    platform.stopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (platform.stopFd < 0 || ::pipe2(g_pipe, O_NONBLOCK | O_CLOEXEC) != 0) {
        return;
    }
    auto tell = platform.life.Guard([caught = std::move(caught)] { caught(g_signal.load()); });
    platform.thread =
        std::thread(&Platform::Watch, g_pipe[0], platform.stopFd, std::ref(loop), std::move(tell));
    // No SA_RESTART: a blocking read of the terminal returns, so its caller sees the signal.
    struct sigaction action {};
    action.sa_handler = OnTerminationSignal;
    sigemptyset(&action.sa_mask);
    for (std::size_t n = 0; n < kSignals.size(); ++n) {
        ::sigaction(kSignals[n], &action, &platform.previous[n]);
    }
}

SignalWatch::~SignalWatch() = default;

int SignalWatch::Caught() {
    return g_signal.load();
}

bool SignalWatch::Active() const {
    return m_platform->thread.joinable();
}
