#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "frames.h"
#include "request_link.h"
#include "trace.h"
#include "ui_handover.h"

class CSerialPort;
class CSerialReader;

// The serial link to a module on a COM port: opening and closing the port, the search for the
// module over the eight baud rates, and the reader with its lifetime. Plain C++ that knows no
// window: frames come to the owner on the reader thread; what must run on the owner's thread
// (the line-lost notice, and every RunOnUi call) is handed over through a mutex-protected queue
// that the owner drains when woken.
class SerialLink : public RequestLink {
  public:
    struct Handlers {
        // Reader thread: every whole frame with a good CRC.
        std::function<void(std::span<const Byte>)> onFrame;
        // Owner's thread, from DrainUi: the line hung up or failed under the reader.
        std::function<void()> onLineLost;
        // Any thread: DrainUi() is wanted soon on the owner's thread.
        std::function<void()> wakeUi;
    };

    // The link runs the given port; the owner keeps it.
    SerialLink(CSerialPort& port, Handlers handlers);
    ~SerialLink();
    SerialLink(const SerialLink&) = delete;
    SerialLink& operator=(const SerialLink&) = delete;

    // Opens COM<com> at 1200 baud, 8N1; false when it cannot be opened (OpenFailureLine says
    // why).
    bool Open(int com);
    // Opens a device named by its path (/dev/ttyUSB0) the same way.
    bool OpenDevice(const std::string& path);
    // Stops the reader, then closes the port: no read ever runs on a closed descriptor.
    void Close();
    bool IsOpen() const;
    int Com() const { return m_com; }
    std::string OpenFailureLine() const;
    // The report line for a line that was lost while the port was open.
    std::string LostLine() const;

    struct SearchResult {
        enum class End : std::uint8_t { Found, NotFound, LineLost, Ended };
        End end = End::NotFound;
        int step = 0;              // the index of the rate the module answered at
        Byte address = 0;          // the module's address from its reply
        std::vector<Byte> params;  // the block bytes the reply carries (at most ten)
    };
    // Asks for the module's parameters at every rate, twice each (the read of five registers to
    // unit 0xFF, then the read of three to `address`), until one answers. Found: the port stays at
    // the module's rate and the reader runs. NotFound: the port is left at the last rate, and a
    // reader that ran before runs again. LineLost: the line went away (nothing runs). Ended:
    // `ended` said so between two reads.
    SearchResult Search(Byte address, const std::function<bool()>& ended);

    // The same search on a thread of its own, so that the owner's thread stays free. onRate (each
    // rate as it is tried) and onEnd (the outcome, after the reader has been started or restarted
    // as Search would) run on the owner's thread, from DrainUi. Owner's thread only.
    struct SearchHandlers {
        std::function<void(std::uint32_t baud)> onRate;
        std::function<void(const SearchResult&)> onEnd;
    };
    void StartSearch(Byte address, SearchHandlers handlers);
    bool Searching() const { return m_searchThread.joinable(); }
    // Ends a search under way: a read that waits is cut short, no request follows, and the
    // thread has ended when this returns. Its outcome is dropped (onEnd never runs).
    void EndSearch();

    void StartReader();
    void StopReader();
    bool ReaderRunning() const { return m_reader != nullptr; }

    // Reader thread: runs fn on the owner's thread and waits until it has run, or until the
    // reader is stopped (fn then never runs).
    void RunOnUi(std::function<void()> fn) { m_handover.Call(std::move(fn)); }
    // Reader thread: queues fn for the owner's thread and returns at once.
    void PostToUi(std::function<void()> fn) { m_handover.Post(std::move(fn)); }
    // Owner's thread: runs what the reader handed over.
    void DrainUi() { m_handover.Drain(); }

    bool Ready() const override { return IsOpen(); }
    bool Send(std::span<const Byte> frame) override;
    Framing LinkFraming() const override { return Framing::ModbusRtu; }
    // "COM5", or the device path when the port was opened by its path.
    std::string TraceName() const override {
        return m_device.empty() ? "COM" + std::to_string(m_com) : m_device;
    }
    // The port as trace listeners know it: its name, RTU, and the rate it runs at now.
    TraceLink TraceSource() const { return {TraceName(), Framing::ModbusRtu, m_baud.load()}; }

  private:
    using RateNotice = std::function<void(std::uint32_t baud)>;
    SearchResult RunSearch(Byte address, const std::function<bool()>& ended,
                           const RateNotice& onRate);
    bool AskAtRate(std::size_t step, int attempt, Byte address, SearchResult& result);
    void ResumeAfterSearch(const SearchResult& result, bool readerWasRunning);

    CSerialPort& m_port;
    Handlers m_handlers;
    UiHandover m_handover;
    std::unique_ptr<CSerialReader> m_reader;
    int m_com = 0;
    std::atomic<std::uint32_t> m_baud{0};
    std::thread m_searchThread;
    std::atomic<bool> m_searchEnding{false};
    std::string m_device;
};
