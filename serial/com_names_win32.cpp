#include <windows.h>

#include <array>
#include <string>

#include "serial_port.h"

namespace {

std::string ComName(int port) {
    return "COM" + std::to_string(port);
}

// A name the system keeps for a device (\\.\COM5 -> \Device\Serial0, a USB adapter's device).
bool KnownDosDevice(const std::string& name) {
    std::array<char, 1024> target{};
    return QueryDosDeviceA(name.c_str(), target.data(), static_cast<DWORD>(target.size())) != 0;
}

// The serial ports the drivers list under HARDWARE\DEVICEMAP\SERIALCOMM, one value per port
// with its COM name as the data.
bool ListedSerialPort(const std::string& name) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS) {
        return false;
    }
    bool found = false;
    for (DWORD index = 0; !found; ++index) {
        std::array<char, 256> valueName{};
        std::array<char, 64> data{};
        DWORD nameLength = static_cast<DWORD>(valueName.size());
        DWORD dataLength = static_cast<DWORD>(data.size() - 1);
        DWORD type = 0;
        const LONG result = RegEnumValueA(key, index, valueName.data(), &nameLength, nullptr, &type,
                                          reinterpret_cast<BYTE*>(data.data()), &dataLength);
        if (result == ERROR_MORE_DATA) continue;
        if (result != ERROR_SUCCESS) break;
        found = type == REG_SZ && _stricmp(data.data(), name.c_str()) == 0;
    }
    RegCloseKey(key);
    return found;
}

// Opening it with no access rights asks the driver only whether the port is there; a port that
// another program holds is there too. The last resort: Wine maps COM names through its
// dosdevices folder without naming them to the two look-ups above.
bool DeviceAnswers(const std::string& path) {
    const HANDLE probe =
        CreateFileA(path.c_str(), 0, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (probe == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION;
    }
    CloseHandle(probe);
    return true;
}

}  // namespace

std::string ComDevicePath(int port) {
    if (port < 1) return {};
    return "\\\\.\\" + ComName(port);
}

bool ComDeviceExists(int port) {
    if (port < 1) return false;
    const std::string name = ComName(port);
    return KnownDosDevice(name) || ListedSerialPort(name) || DeviceAnswers(ComDevicePath(port));
}
