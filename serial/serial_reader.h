#pragma once

#include <QPointer>
#include <atomic>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <thread>

#include "frames.h"
#include "stream_framer.h"

class CSerialPort;
class QObject;

// The reader of the COM port: a thread of its own that waits in the kernel for bytes, joins the
// pieces of each reply, drops frames with a wrong CRC and hands every whole frame on.
// Calls into the user-interface thread are synchronous but give way to Stop(), so the window can
// stop and join the reader at any time without a deadlock.
class CSerialReader {
  public:
    using FrameHandler = std::function<void(std::span<const Byte>)>;
    using LineLostHandler = std::function<void()>;

    // onFrame runs on the reader thread; onLineLost is posted to the ui object's thread once,
    // when the line hangs up or fails, and the reader then ends. A notice still in the queue
    // when Stop() is called is dropped: the port it was about may already be closed and another
    // one open.
    // link names the port in the traffic trace ("COM5").
    CSerialReader(CSerialPort& port, QObject* ui, FrameHandler onFrame, LineLostHandler onLineLost,
                  std::string link = "COM");
    ~CSerialReader();
    CSerialReader(const CSerialReader&) = delete;
    CSerialReader& operator=(const CSerialReader&) = delete;

    // Starts the thread. Kept apart from construction so the owner holds the reader before the
    // first frame can reach a handler that calls back into it (RunOnUi).
    void Start();
    // Ends the thread and waits for it.
    void Stop();

    // From the reader thread: runs fn on the user-interface thread and waits until it has run,
    // or until the reader is stopped (fn then never runs).
    void RunOnUi(std::function<void()> fn);

  private:
    void Run();
    void HandOn(std::span<const Byte> bytes);
    void PostLineLost();

    CSerialPort& m_port;
    std::string m_link;
    QPointer<QObject> m_ui;
    FrameHandler m_onFrame;
    LineLostHandler m_onLineLost;
    StreamFramer m_framer;
    std::atomic<bool> m_stop{false};
    // Shared with a posted line-lost notice, which runs only while this is still true.
    std::shared_ptr<std::atomic<bool>> m_lineLostWanted = std::make_shared<std::atomic<bool>>(true);
    std::thread m_thread;
};
