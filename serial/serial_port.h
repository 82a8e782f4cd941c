#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

// The COM port: one device handle and an open flag. Reads, writes and line settings as the
// panel expects of a COM port, on top of the platform's serial interface (termios on Linux).
//
// Read settings (SetReadTimeout):
//   m = 0 (also right after Open): a read returns at once with the bytes already received.
//   m > 0: a read of capacity n returns when n bytes have come or m*n + m ms have passed, or
//          as soon as another thread calls WakeWaiter() (a search that is ended early).
// Writes are bounded by 100 ms per byte plus 500 ms. Both bounds end early once EndAllWaits() has
// been called (the program is ending).
class CSerialPort {
  public:
    using MessageSink = std::function<void(const char* text)>;

    CSerialPort();
    virtual ~CSerialPort();  // closes a port that is still open
    CSerialPort(const CSerialPort&) = delete;
    CSerialPort& operator=(const CSerialPort&) = delete;

    bool IsOpen() const { return m_bOpen.load(std::memory_order_acquire); }

    // Opens COM<port> exclusively, raw, at the given line settings, queues purged.
    // Shows "Open com failed!" through the message sink on failure.
    bool Open(int port, std::uint32_t baud, std::uint8_t byteSize, std::uint8_t stopBits,
              std::uint8_t parity);
    // The same for a device named by its path (/dev/ttyUSB0) rather than a COM number.
    bool OpenDevice(const std::string& path, std::uint32_t baud, std::uint8_t byteSize,
                    std::uint8_t stopBits, std::uint8_t parity);
    void Close();
    void Configure(std::uint32_t baud, std::uint8_t byteSize, std::uint8_t stopBits,
                   std::uint8_t parity);
    bool SetReadTimeout(std::uint32_t multiplierMs);
    // Shows "Write com failed" through the message sink when the write fails or cannot
    // finish within its bound.
    void Write(const std::uint8_t* data, std::uint32_t count);
    // Number of bytes read; 0 on a time-out or a failure.
    std::uint32_t Read(std::uint8_t* buffer, std::uint32_t capacity);

    // Waits up to timeoutMs in the kernel for bytes to read. LineLost when the device hung up
    // or reported an I/O error (an adapter pulled out).
    enum class WaitResult : std::uint8_t { Readable, Timeout, LineLost };
    WaitResult WaitReadable(int timeoutMs);
    // The same, with no bound: it returns Timeout as soon as another thread calls WakeWaiter(),
    // so a waiting reader can be stopped without waking up on a quiet line.
    WaitResult WaitReadableOrWoken();
    void WakeWaiter();
    // Any thread, and safe in a signal handler: the program is ending. From now on every bounded
    // wait of every port (a read with a time-out, a write the line does not take) returns at
    // once; a write cut short so shows no message. The waits end within milliseconds of the
    // signal rather than at their bounds, whichever thread they hold.
    static void EndAllWaits();
    static bool Ending();
    // Drops a wake that no waiter took (one asked of a reader stopped before it waited), so the
    // next read waits its whole time.
    void ForgetWake();
    // True once a read or a wait has seen the line hang up or fail.
    bool LineLost() const { return m_bLineLost.load(std::memory_order_acquire); }

    // The device path of the last Open and, after a failed Open, the reason the system gave.
    const std::string& DevicePath() const { return m_strPath; }
    const std::string& LastError() const { return m_strError; }

    // Where the port's own message boxes go (the window's message box; tests record them).
    void SetMessageSink(MessageSink sink) { m_messageSink = std::move(sink); }

  private:
    void ShowMessage(const char* text) const;

#ifdef _WIN32
    WaitResult WaitForBytes(unsigned long timeoutMs, void* wake);
    std::uint32_t ReadWaiting(void* com, std::uint8_t* buffer, std::uint32_t capacity);

    void* m_wake = nullptr;  // an auto-reset event: set while a waiter is asked to return
    // Atomic because a reader thread waits and reads while the window writes and configures.
    std::atomic<void*> m_hCom{nullptr};  // the port's HANDLE, opened for overlapped I/O
#else
    WaitResult JudgeWait(int fd, int revents);

    int m_wake = -1;  // an eventfd: readable while a waiter is asked to return
    // Atomic because a reader thread waits and reads while the window writes and configures.
    std::atomic<int> m_hCom{-1};
#endif
    std::atomic<bool> m_bOpen{false};
    std::atomic<bool> m_bLineLost{false};
    std::atomic<std::uint32_t> m_readMultiplier{0};
    std::string m_strPath;
    std::string m_strError;
    MessageSink m_messageSink;
};

// The device behind COM<port> on this machine. On Linux: KESTREL_COM_DIR/COM<port> when that
// entry exists, else COM1..32 = /dev/ttyS0..31, COM33..64 = /dev/ttyUSB0..31,
// COM65..96 = /dev/ttyACM0..31. On Windows: \\.\COM<port>. Empty when no device is mapped
// to the number.
std::string ComDevicePath(int port);
// Whether a device answers to COM<port> right now. On Linux: its path leads, through any links,
// to a character device (a serial port, a USB adapter, a pseudo-terminal). On Windows: the
// system knows the name COM<port> (a DOS device, or the serial ports the registry lists).
bool ComDeviceExists(int port);
