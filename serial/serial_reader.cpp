#include "serial_reader.h"

#include <QObject>
#include <array>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "serial_port.h"
#include "trace.h"

namespace {

constexpr int kPollBoundMs = 10;
constexpr std::uint32_t kReadBufferSize = 512;

// One call handed to the user-interface thread.
struct PendingCall {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    bool abandoned = false;
};

}  // namespace

CSerialReader::CSerialReader(CSerialPort& port, QObject* ui, FrameHandler onFrame,
                             LineLostHandler onLineLost, std::string link)
    : m_port(port),
      m_link(std::move(link)),
      m_ui(ui),
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

// Runs on the user-interface thread, like the notice it drops.
void CSerialReader::Stop() {
    m_stop.store(true);
    m_lineLostWanted->store(false);
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
            PostLineLost();
            return;
        }
    }
}

// The notice outlives the reader in the queue, so it carries its own copy of the handler.
void CSerialReader::PostLineLost() {
    QMetaObject::invokeMethod(
        m_ui.data(),
        [wanted = m_lineLostWanted, handler = m_onLineLost] {
            if (wanted->load()) {
                handler();
            }
        },
        Qt::QueuedConnection);
}

void CSerialReader::RunOnUi(std::function<void()> fn) {
    auto call = std::make_shared<PendingCall>();
    const bool posted = QMetaObject::invokeMethod(
        m_ui,
        [call, fn = std::move(fn)] {
            {
                const std::lock_guard lock(call->mutex);
                if (call->abandoned) {
                    return;
                }
            }
            fn();
            const std::lock_guard lock(call->mutex);
            call->finished = true;
            call->done.notify_all();
        },
        Qt::QueuedConnection);
    if (!posted) {
        return;
    }
    std::unique_lock lock(call->mutex);
    while (!call->done.wait_for(lock, std::chrono::milliseconds(kPollBoundMs),
                                [&] { return call->finished; })) {
        if (m_stop.load()) {
            call->abandoned = true;
            return;
        }
    }
}
