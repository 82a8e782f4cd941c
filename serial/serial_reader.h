#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <thread>

#include "frames.h"
#include "stream_framer.h"
#include "trace.h"

class CSerialPort;

// The reader of the COM port: a thread of its own that waits in the kernel for bytes, joins the
// pieces of each reply, drops frames with a wrong CRC and hands every whole frame on. Plain C++:
// what reaches the user interface goes through the owner's hand-over (UiHandover).
class CSerialReader {
  public:
    using FrameHandler = std::function<void(std::span<const Byte>)>;
    using LineLostHandler = std::function<void()>;

    // onFrame runs on the reader thread for every whole frame; onLineLost runs on it once, when
    // the line hangs up or fails, and the reader then ends.
    // link names the port in the traffic trace ("COM5", and the rate it runs at).
    CSerialReader(CSerialPort& port, FrameHandler onFrame, LineLostHandler onLineLost,
                  TraceLink link = {"COM"});
    ~CSerialReader();
    CSerialReader(const CSerialReader&) = delete;
    CSerialReader& operator=(const CSerialReader&) = delete;

    // Starts the thread. Kept apart from construction so the owner holds the reader before the
    // first frame can reach a handler.
    void Start();
    // Ends the thread and waits for it. A handler the thread is blocked in must be released
    // first (the owner closes its hand-over).
    void Stop();

  private:
    void Run();
    void HandOn(std::span<const Byte> bytes);

    CSerialPort& m_port;
    TraceLink m_link;
    FrameHandler m_onFrame;
    LineLostHandler m_onLineLost;
    StreamFramer m_framer;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};
