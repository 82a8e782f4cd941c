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

// Held while a call for the user-interface thread is built and posted, and taken by the call
// before it reads anything it carries: the queue the call travels through synchronises inside Qt,
// where ThreadSanitizer cannot see it, and this lock makes the same order visible.
std::mutex gPostingLock;

template <class Fn>
bool PostToUi(QObject* ui, Fn fn) {
    const std::lock_guard posting(gPostingLock);
    return QMetaObject::invokeMethod(
        ui,
        [fn = std::move(fn)] {
            { const std::lock_guard posted(gPostingLock); }
            fn();
        },
        Qt::QueuedConnection);
}

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
      m_framer(
          StreamFramer::Mode::RtuChecked,
          [this](std::span<const Byte> frame) {
              TraceFrame(m_link, "rx", frame);
              m_onFrame(frame);
          },
          [this](std::span<const Byte> dropped) { TraceFrame(m_link, "drop", dropped); }) {}

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
        m_framer.Feed(std::span<const Byte>(buffer.data(), got));
        if (m_port.LineLost()) {
            PostLineLost();
            return;
        }
    }
}

// The notice outlives the reader in the queue, so it carries its own copy of the handler.
void CSerialReader::PostLineLost() {
    PostToUi(m_ui.data(), [wanted = m_lineLostWanted, handler = m_onLineLost] {
        if (wanted->load()) {
            handler();
        }
    });
}

void CSerialReader::RunOnUi(std::function<void()> fn) {
    auto call = std::make_shared<PendingCall>();
    const bool posted = PostToUi(m_ui.data(), [call, fn = std::move(fn)] {
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
    });
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
