#include "pty_line.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

PtyLine::PtyLine(Mode mode) {
    const int flags = O_RDWR | O_NOCTTY | O_CLOEXEC | (mode == Mode::NonBlocking ? O_NONBLOCK : 0);
    m_master = ::posix_openpt(flags);
    if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0) {
        m_error = std::string("no pseudo-terminal: ") + std::strerror(errno);
        CloseMaster();
        return;
    }
    m_slavePath = ::ptsname(m_master);
}

PtyLine::~PtyLine() {
    for (const std::string& link : m_links) {
        ::unlink(link.c_str());
    }
    if (m_slaveKeeper >= 0) {
        ::close(m_slaveKeeper);
    }
    CloseMaster();
}

int PtyLine::KeepSlaveOpen() {
    if (m_slaveKeeper < 0 && Ready()) {
        m_slaveKeeper = ::open(m_slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios raw{};
        if (m_slaveKeeper >= 0 && ::tcgetattr(m_slaveKeeper, &raw) == 0) {
            ::cfmakeraw(&raw);
            ::tcsetattr(m_slaveKeeper, TCSANOW, &raw);
        }
    }
    return m_slaveKeeper;
}

bool PtyLine::Publish(const std::string& folder, int com, const std::string& target) {
    const std::string link = folder + "/COM" + std::to_string(com);
    ::unlink(link.c_str());
    if (::symlink((target.empty() ? m_slavePath : target).c_str(), link.c_str()) != 0) {
        m_error = "cannot publish " + link + ": " + std::strerror(errno);
        return false;
    }
    m_links.push_back(link);
    return true;
}

void PtyLine::CloseMaster() {
    if (m_master >= 0) {
        ::close(m_master);
    }
    m_master = -1;
}
