#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

#include "wake_event.h"

WakeEvent::WakeEvent() : m_fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

WakeEvent::~WakeEvent() {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

void WakeEvent::Signal() const {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(m_fd, &one, sizeof one);  // full: still readable
}

void WakeEvent::Clear() const {
    std::uint64_t count = 0;
    [[maybe_unused]] const auto got = ::read(m_fd, &count, sizeof count);
}
