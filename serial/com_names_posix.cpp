#include <sys/stat.h>

#include <cstdlib>
#include <iterator>
#include <string>

#include "serial_port.h"

namespace {

constexpr int kPortsPerFamily = 32;

// The entry KESTREL_COM_DIR/COM<port>, when that variable is set and the entry exists
// (a dangling link still counts, so a broken mapping fails instead of reaching hardware).
std::string OverridePath(int port) {
    const char* dir = std::getenv("KESTREL_COM_DIR");
    if (dir == nullptr || *dir == '\0') return {};
    std::string path = std::string(dir) + "/COM" + std::to_string(port);
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return {};
    return path;
}

std::string StandardPath(int port) {
    static const char* const kFamilies[] = {"/dev/ttyS", "/dev/ttyUSB", "/dev/ttyACM"};
    const int family = (port - 1) / kPortsPerFamily;
    if (family >= static_cast<int>(std::size(kFamilies))) return {};
    return kFamilies[family] + std::to_string((port - 1) % kPortsPerFamily);
}

}  // namespace

std::string ComDevicePath(int port) {
    if (port < 1) return {};
    std::string path = OverridePath(port);
    if (!path.empty()) return path;
    return StandardPath(port);
}

bool ComDeviceExists(int port) {
    const std::string path = ComDevicePath(port);
    struct stat info {};
    return !path.empty() && ::stat(path.c_str(), &info) == 0 && S_ISCHR(info.st_mode);
}
