// CSerialPort on the Win32 communications functions. Every call into the platform's serial
// interface lives here. The port is opened for overlapped I/O, so that a wait for bytes, a read
// and a write can each be ended early by a wake or by the program's end.
#include <windows.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <span>
#include <string>

#include "serial_port.h"

namespace {

// Longest bound a read or write ever waits, so huge sizes cannot overflow the driver's sums.
constexpr std::uint64_t kLongestBoundMs = 24ull * 60 * 60 * 1000;
constexpr std::uint64_t kWriteMsPerByte = 100;
constexpr std::uint64_t kWriteExtraMs = 500;
constexpr DWORD kQueueBytes = 4096;

std::atomic<bool> g_ending{false};

// Set, and never reset, once the program is ending. Made with the first port, before any
// handler of Ctrl+C or of the console closing can ask for it.
HANDLE EndingEvent() {
    static const HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return event;
}

DWORD BoundMs(std::uint64_t ms) {
    return static_cast<DWORD>(std::min(ms, kLongestBoundMs));
}

std::string ErrorText(DWORD error) {
    if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) {
        return "held by another program";
    }
    std::array<char, 256> text{};
    const DWORD length =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                       0, text.data(), static_cast<DWORD>(text.size()), nullptr);
    std::string message(text.data(), length);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' ' || message.back() == '.')) {
        message.pop_back();
    }
    return message.empty() ? "system error " + std::to_string(error) : message;
}

// One overlapped operation's record and its event, closed when done.
struct Overlapped {
    OVERLAPPED record{};
    Overlapped() { record.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
    ~Overlapped() {
        if (record.hEvent != nullptr) CloseHandle(record.hEvent);
    }
    Overlapped(const Overlapped&) = delete;
    Overlapped& operator=(const Overlapped&) = delete;
};

enum class Outcome : std::uint8_t { Done, Failed, TimedOut, Woken };

// Waits for a started operation to end, for its time-out, or for one of the extra events (a
// wake, the program's end); in the last two cases the operation is cancelled. `transferred`
// holds what it moved either way.
Outcome Finish(HANDLE com, Overlapped& operation, DWORD timeoutMs, std::span<const HANDLE> extra,
               DWORD& transferred) {
    std::array<HANDLE, 3> events{operation.record.hEvent};
    std::copy(extra.begin(), extra.end(), events.begin() + 1);
    const DWORD count = static_cast<DWORD>(1 + extra.size());
    const DWORD woke = WaitForMultipleObjects(count, events.data(), FALSE, timeoutMs);
    const bool interrupted = woke != WAIT_OBJECT_0;
    if (interrupted) CancelIoEx(com, &operation.record);
    const BOOL done = GetOverlappedResult(com, &operation.record, &transferred, TRUE);
    // A read that reached its time-out has ended as it should (Wine reports it as a failure).
    if (done || GetLastError() == ERROR_TIMEOUT) return Outcome::Done;
    if (!interrupted || GetLastError() != ERROR_OPERATION_ABORTED) return Outcome::Failed;
    return woke == WAIT_TIMEOUT ? Outcome::TimedOut : Outcome::Woken;
}

// Starts an overlapped read or write and waits for it as Finish does.
template <typename Start>
Outcome Run(HANDLE com, DWORD timeoutMs, std::span<const HANDLE> extra, DWORD& transferred,
            Start start) {
    Overlapped operation;
    transferred = 0;
    if (operation.record.hEvent == nullptr) return Outcome::Failed;
    if (!start(&operation.record) && GetLastError() != ERROR_IO_PENDING) return Outcome::Failed;
    return Finish(com, operation, timeoutMs, extra, transferred);
}

// Bytes received and not yet read; -1 when the device no longer answers (a USB
// adapter pulled out), which also clears any line error so the next read can go on.
long BytesWaiting(HANDLE com) {
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(com, &errors, &status)) return -1;
    return static_cast<long>(status.cbInQue);
}

// Raw 8N1: binary, no flow control, no character replacement, DTR and RTS on.
void MakeRaw(DCB& line) {
    line.fBinary = TRUE;
    line.fOutxCtsFlow = FALSE;
    line.fOutxDsrFlow = FALSE;
    line.fDtrControl = DTR_CONTROL_ENABLE;
    line.fDsrSensitivity = FALSE;
    line.fOutX = FALSE;
    line.fInX = FALSE;
    line.fErrorChar = FALSE;
    line.fNull = FALSE;
    line.fRtsControl = RTS_CONTROL_ENABLE;
    line.fAbortOnError = FALSE;
    line.ByteSize = 8;
    line.Parity = NOPARITY;
    line.StopBits = ONESTOPBIT;
}

// The codes the panel uses are the DCB's own: stop bits 0 = 1, 1 = 1.5, 2 = 2; parity 0 = none,
// 1 = odd, 2 = even. Values out of range leave that setting as it was.
void ApplyLineSettings(DCB& line, std::uint32_t baud, std::uint8_t byteSize, std::uint8_t stopBits,
                       std::uint8_t parity) {
    line.BaudRate = baud;
    if (byteSize >= 5 && byteSize <= 8) line.ByteSize = byteSize;
    if (stopBits <= TWOSTOPBITS) line.StopBits = stopBits;
    if (parity <= EVENPARITY) {
        line.Parity = parity;
        line.fParity = parity != NOPARITY;
    }
}

bool SetTimeouts(HANDLE com, std::uint32_t multiplierMs, DWORD readBoundMs);

// Queues, raw line, reads that return at once, and the events a wait for bytes watches.
bool PrepareLine(HANDLE com) {
    DCB line{};
    line.DCBlength = sizeof line;
    if (!SetupComm(com, kQueueBytes, kQueueBytes) || !GetCommState(com, &line)) return false;
    MakeRaw(line);
    return SetCommState(com, &line) && SetTimeouts(com, 0, 0) &&
           SetCommMask(com, EV_RXCHAR | EV_ERR);
}

bool SetTimeouts(HANDLE com, std::uint32_t multiplierMs, DWORD readBoundMs) {
    COMMTIMEOUTS timeouts{};
    if (multiplierMs == 0) {
        timeouts.ReadIntervalTimeout = MAXDWORD;  // what is there, at once
    } else {
        timeouts.ReadTotalTimeoutConstant = readBoundMs;  // the whole buffer or the bound
    }
    timeouts.WriteTotalTimeoutMultiplier = static_cast<DWORD>(kWriteMsPerByte);
    timeouts.WriteTotalTimeoutConstant = static_cast<DWORD>(kWriteExtraMs);
    return SetCommTimeouts(com, &timeouts) != 0;
}

// How often the queue is looked at while waiting on a driver that cannot report the characters
// it receives (Wine's wait for line events fails on a pseudo-terminal).
constexpr DWORD kQueueCheckMs = 10;

// Waits for the driver to report a character received (or a line error). A byte that comes
// between the caller's look at the queue and this wait is not missed: the caller looks again
// after every event. A driver that reports nothing (no event bits) or whose wait fails while its
// queue still answers is not asked again: the caller looks at the queue every kQueueCheckMs.
Outcome WatchLine(HANDLE com, DWORD timeoutMs, HANDLE wake, bool& driverWatches) {
    DWORD events = 0;
    DWORD unused = 0;
    const std::array<HANDLE, 1> woken{wake};
    const std::span<const HANDLE> interrupts(woken.data(), wake != nullptr ? 1 : 0);
    const Outcome outcome = Run(com, timeoutMs, interrupts, unused, [&](OVERLAPPED* record) {
        return WaitCommEvent(com, &events, record);
    });
    if (outcome == Outcome::Done && events == 0) driverWatches = false;
    // A failed wait on a line whose queue still answers: the driver cannot watch this line.
    if (outcome == Outcome::Failed && BytesWaiting(com) >= 0) {
        driverWatches = false;
        return Outcome::Done;
    }
    return outcome;
}

// Waits the time given or until the wake; Done when the time has passed.
Outcome Pause(DWORD ms, HANDLE wake) {
    if (wake == nullptr) {
        Sleep(ms);
        return Outcome::Done;
    }
    return WaitForSingleObject(wake, ms) == WAIT_OBJECT_0 ? Outcome::Woken : Outcome::Done;
}

}  // namespace

CSerialPort::CSerialPort() : m_wake(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {
    EndingEvent();
}

CSerialPort::~CSerialPort() {
    Close();
    if (m_wake != nullptr) CloseHandle(m_wake);
}

bool CSerialPort::OpenDevice(const std::string& path, std::uint32_t baud, std::uint8_t byteSize,
                             std::uint8_t stopBits, std::uint8_t parity) {
    Close();
    m_strPath = path;
    m_strError.clear();
    // No sharing: the port is this program's alone while it is open.
    const HANDLE com = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (com == INVALID_HANDLE_VALUE || !PrepareLine(com)) {
        m_strError = ErrorText(GetLastError());
        if (com != INVALID_HANDLE_VALUE) CloseHandle(com);
        ShowMessage("Open com failed!");
        return false;
    }
    m_hCom.store(com);
    m_readMultiplier.store(0);
    m_bLineLost.store(false, std::memory_order_release);
    m_bOpen.store(true, std::memory_order_release);
    Configure(baud, byteSize, stopBits, parity);
    PurgeComm(com, PURGE_RXABORT | PURGE_RXCLEAR | PURGE_TXABORT | PURGE_TXCLEAR);
    return true;
}

void CSerialPort::Close() {
    const HANDLE com = m_hCom.exchange(nullptr);
    m_bOpen.store(false, std::memory_order_release);
    m_bLineLost.store(false, std::memory_order_release);
    if (com != nullptr) CloseHandle(com);
}

void CSerialPort::Configure(std::uint32_t baud, std::uint8_t byteSize, std::uint8_t stopBits,
                            std::uint8_t parity) {
    const HANDLE com = m_hCom.load();
    if (!IsOpen() || com == nullptr) return;
    DCB line{};
    line.DCBlength = sizeof line;
    if (!GetCommState(com, &line)) return;
    const DWORD previousBaud = line.BaudRate;
    ApplyLineSettings(line, baud, byteSize, stopBits, parity);
    if (SetCommState(com, &line)) return;
    // A rate the driver does not take leaves the rate as it was and the rest applied.
    line.BaudRate = previousBaud;
    SetCommState(com, &line);
}

bool CSerialPort::SetReadTimeout(std::uint32_t multiplierMs) {
    m_readMultiplier.store(multiplierMs);
    return IsOpen();
}

void CSerialPort::Write(const std::uint8_t* data, std::uint32_t count) {
    if (count == 0) return;
    const HANDLE com = m_hCom.load();
    if (!IsOpen() || com == nullptr || data == nullptr) {
        ShowMessage("Write com failed");
        return;
    }
    const std::array<HANDLE, 1> ending{EndingEvent()};
    DWORD written = 0;
    const DWORD bound = BoundMs(kWriteMsPerByte * count + kWriteExtraMs);
    const Outcome outcome = Run(com, bound, ending, written, [&](OVERLAPPED* record) {
        return WriteFile(com, data, count, nullptr, record);
    });
    if (g_ending.load()) return;  // cut short by the program's end: no message
    if (outcome != Outcome::Done || written != count) ShowMessage("Write com failed");
}

void CSerialPort::EndAllWaits() {
    g_ending.store(true);
    SetEvent(EndingEvent());
}

bool CSerialPort::Ending() {
    return g_ending.load();
}

std::uint32_t CSerialPort::Read(std::uint8_t* buffer, std::uint32_t capacity) {
    const HANDLE com = m_hCom.load();
    if (!IsOpen() || com == nullptr || buffer == nullptr || capacity == 0) return 0;
    const std::uint32_t multiplier = m_readMultiplier.load();
    if (multiplier == 0) return ReadWaiting(com, buffer, capacity);
    const DWORD bound = BoundMs(std::uint64_t{multiplier} * capacity + multiplier);
    if (!SetTimeouts(com, multiplier, bound)) {
        m_bLineLost.store(true, std::memory_order_release);
        return 0;
    }
    // The driver ends the read at its bound; the wake and the program's end end it earlier.
    const std::array<HANDLE, 2> interrupts{m_wake, EndingEvent()};
    DWORD received = 0;
    const Outcome outcome = Run(com, INFINITE, interrupts, received, [&](OVERLAPPED* record) {
        return ReadFile(com, buffer, capacity, nullptr, record);
    });
    // Bytes that came before a failure are still handed over; LineLost() tells of the failure.
    if (outcome == Outcome::Failed) m_bLineLost.store(true, std::memory_order_release);
    return received;
}

// Only what has come already: a read that asks for no more than that ends at once (a read of an
// empty queue is not always ended at once by every driver, even told to).
std::uint32_t CSerialPort::ReadWaiting(void* com, std::uint8_t* buffer, std::uint32_t capacity) {
    const long waiting = BytesWaiting(com);
    if (waiting <= 0 || !SetTimeouts(com, 0, 0)) {
        if (waiting < 0) m_bLineLost.store(true, std::memory_order_release);
        return 0;
    }
    const DWORD wanted = std::min(capacity, static_cast<std::uint32_t>(waiting));
    DWORD received = 0;
    const std::array<HANDLE, 1> ending{EndingEvent()};
    const Outcome outcome = Run(com, INFINITE, ending, received, [&](OVERLAPPED* record) {
        return ReadFile(com, buffer, wanted, nullptr, record);
    });
    if (outcome == Outcome::Failed) m_bLineLost.store(true, std::memory_order_release);
    return received;
}

CSerialPort::WaitResult CSerialPort::WaitForBytes(unsigned long timeoutMs, void* wake) {
    const HANDLE com = m_hCom.load();
    if (!IsOpen() || com == nullptr) return WaitResult::LineLost;
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    bool driverWatches = true;
    for (;;) {
        const long waiting = BytesWaiting(com);
        if (waiting < 0) {
            m_bLineLost.store(true, std::memory_order_release);
            return WaitResult::LineLost;
        }
        if (waiting > 0) return WaitResult::Readable;
        const ULONGLONG now = GetTickCount64();
        if (timeoutMs != INFINITE && now >= deadline) return WaitResult::Timeout;
        const DWORD left = timeoutMs == INFINITE ? INFINITE : static_cast<DWORD>(deadline - now);
        const Outcome outcome = driverWatches ? WatchLine(com, left, wake, driverWatches)
                                              : Pause(std::min(left, kQueueCheckMs), wake);
        if (outcome == Outcome::Failed) {
            m_bLineLost.store(true, std::memory_order_release);
            return WaitResult::LineLost;
        }
        if (outcome == Outcome::Done) continue;
        if (BytesWaiting(com) <= 0) return WaitResult::Timeout;
        // Bytes came with the wake: they are read first, and the wake stays for the next wait.
        if (outcome == Outcome::Woken) SetEvent(wake);
        return WaitResult::Readable;
    }
}

CSerialPort::WaitResult CSerialPort::WaitReadable(int timeoutMs) {
    return WaitForBytes(timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs), nullptr);
}

CSerialPort::WaitResult CSerialPort::WaitReadableOrWoken() {
    return WaitForBytes(INFINITE, m_wake);
}

void CSerialPort::WakeWaiter() {
    SetEvent(m_wake);
}

void CSerialPort::ForgetWake() {
    ResetEvent(m_wake);
}
