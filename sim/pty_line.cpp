#include "pty_line.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace sim {

namespace {

speed_t SpeedOf(int baud) {
    switch (baud) {
        case 1200:
            return B1200;
        case 2400:
            return B2400;
        case 4800:
            return B4800;
        case 9600:
            return B9600;
        case 19200:
            return B19200;
        case 38400:
            return B38400;
        case 57600:
            return B57600;
        case 115200:
            return B115200;
        default:
            return B0;
    }
}

std::string SystemError(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

std::string ReadLink(const std::string& path) {
    std::array<char, 4096> target{};
    const ssize_t n = ::readlink(path.c_str(), target.data(), target.size() - 1);
    return n < 0 ? std::string() : std::string(target.data(), static_cast<std::size_t>(n));
}

// A link left behind by a simulator that was killed points at a terminal that is gone; such a
// link may be replaced, anything else at that path is someone else's.
bool IsStaleLink(const std::string& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return false;
    return ::access(ReadLink(path).c_str(), F_OK) != 0;
}

}  // namespace

std::unique_ptr<PtyLine> PtyLine::Open(const std::string& comName, std::string* error) {
    const char* dir = std::getenv("KESTREL_COM_DIR");
    if (dir == nullptr || *dir == '\0') {
        *error =
            "KESTREL_COM_DIR is not set; point it at the folder the panel looks for COM ports in";
        return nullptr;
    }
    std::unique_ptr<PtyLine> line(new PtyLine());
    if (!line->Create(std::string(dir) + "/" + comName, error) || !line->Publish(error)) {
        return nullptr;
    }
    return line;
}

bool PtyLine::Create(const std::string& linkPath, std::string* error) {
    linkPath_ = linkPath;
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0) {
        *error = SystemError("posix_openpt");
        return false;
    }
    std::array<char, 256> name{};
    if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0 ||
        ::ptsname_r(master_, name.data(), name.size()) != 0) {
        *error = SystemError("preparing the pseudo-terminal");
        return false;
    }
    slavePath_ = name.data();
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    ::fcntl(master_, F_SETFD, FD_CLOEXEC);
    slave_ = ::open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0) {
        *error = SystemError("opening " + slavePath_);
        return false;
    }
    // Raw from the start: a cooked slave would echo the module's own replies back to it.
    termios raw{};
    ::tcgetattr(slave_, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(slave_, TCSANOW, &raw);
    return true;
}

bool PtyLine::Publish(std::string* error) {
    if (IsStaleLink(linkPath_)) ::unlink(linkPath_.c_str());
    if (::symlink(slavePath_.c_str(), linkPath_.c_str()) != 0) {
        *error = SystemError("creating " + linkPath_);
        return false;
    }
    published_ = true;
    return true;
}

PtyLine::~PtyLine() {
    // Only our own link goes: another simulator may have taken the name since.
    if (published_ && ReadLink(linkPath_) == slavePath_) ::unlink(linkPath_.c_str());
    if (slave_ >= 0) ::close(slave_);
    if (master_ >= 0) ::close(master_);
}

bool PtyLine::RateIs(int baud) const {
    termios line{};
    if (::tcgetattr(master_, &line) != 0) return false;
    return ::cfgetospeed(&line) == SpeedOf(baud);
}

}  // namespace sim
