// The parts of the COM port that are the same on every platform: opening by COM number and the
// message sink.
#include "serial_port.h"

#include <string>

void CSerialPort::ShowMessage(const char* text) const {
    if (m_messageSink) m_messageSink(text);
}

bool CSerialPort::Open(int port, std::uint32_t baud, std::uint8_t byteSize, std::uint8_t stopBits,
                       std::uint8_t parity) {
    const std::string path = ComDevicePath(port);
    if (!path.empty()) return OpenDevice(path, baud, byteSize, stopBits, parity);
    Close();
    m_strPath.clear();
    m_strError = "no device is mapped to COM" + std::to_string(port);
    ShowMessage("Open com failed!");
    return false;
}
