#include "serial_reader.h"

#include <array>
#include <chrono>

#include "serial_port.h"
#include "trace.h"

namespace {

constexpr std::uint32_t kReadBufferSize = 512;

}  // namespace

CSerialReader::CSerialReader(CSerialPort& port, FrameHandler onFrame, LineLostHandler onLineLost,
                             TraceLink link)
    : m_port(port),
      m_link(std::move(link)),
      m_onFrame(std::move(onFrame)),
      m_onLineLost(std::move(onLineLost)),
      m_framer(Framing::ModbusRtu, Direction::Reply) {}

CSerialReader::~CSerialReader() {
    Stop();
}

void CSerialReader::Start() {
    if (!m_thread.joinable() && !m_stop.load()) {
        m_thread = std::thread([this] { Run(); });
    }
}

void CSerialReader::Stop() {
    m_stop.store(true);
    m_port.WakeWaiter();
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

void CSerialReader::HandOn(std::span<const Byte> bytes) {
    m_framer.Append(bytes);
    while (const auto piece = m_framer.Next()) {
        TraceFrame(m_link, piece->IsFrame() ? "rx" : "drop", piece->bytes);
        if (piece->IsFrame()) {
            m_onFrame(piece->bytes);
        }
    }
}

void CSerialReader::Run() {
    std::array<Byte, kReadBufferSize> buffer{};
    while (!m_stop.load() && m_port.IsOpen()) {
        // Asleep in the kernel until bytes come or Stop() wakes it: a quiet line costs nothing.
        const auto wait = m_port.WaitReadableOrWoken();
        if (wait == CSerialPort::WaitResult::Timeout) {
            continue;
        }
        const std::uint32_t got = wait == CSerialPort::WaitResult::Readable
                                      ? m_port.Read(buffer.data(), kReadBufferSize)
                                      : 0;
        // A read that ran into a hang-up still hands on what it got before it.
        HandOn(std::span<const Byte>(buffer.data(), got));
        if (m_port.LineLost()) {
            m_onLineLost();
            return;
        }
    }
}
