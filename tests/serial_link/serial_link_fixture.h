#pragma once

#include <sys/types.h>

#include <QStringList>
#include <QTemporaryDir>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "frames.h"
#include "panel_fixture.h"
#include "pty_line.h"
#include "sim_harness.h"
#include "trace.h"

using Bytes = std::vector<Byte>;

// "01 05 00 10" -> bytes; blanks are ignored.
Bytes HexBytes(const char* text);
// The RTU frame: body followed by its CRC (low-order byte first on the wire).
Bytes WithCrc(Bytes body);
// The same frame with its last CRC byte flipped.
Bytes WithBadCrc(Bytes body);
Bytes Joined(std::initializer_list<Bytes> parts);

// A module played by the test: a pseudo-terminal published as COMn whose master side is served
// by a thread of its own. Every 8-byte request the panel writes is recorded with the line rate in
// force when it arrived and answered with whatever the responder returns (nothing by default).
class FakeModule {
  public:
    struct Request {
        Bytes bytes;
        std::uint32_t baud;
    };
    using Responder = std::function<Bytes(const Request&)>;

    FakeModule(const QString& comDir, int com);
    ~FakeModule();
    FakeModule(const FakeModule&) = delete;
    FakeModule& operator=(const FakeModule&) = delete;

    void SetResponder(Responder responder);
    // Queues bytes to go to the panel unasked.
    void Send(const Bytes& bytes);
    // Writes `frames` again and again, as fast as the line takes them, until StopFlood.
    void StartFlood(const Bytes& frames);
    void StopFlood();
    // The adapter pulled out: the serving thread ends and the master side closes.
    void Unplug();

    std::vector<Request> Requests() const;
    std::size_t BytesWritten() const;
    std::uint64_t FloodRounds() const;
    // The rate the panel has set on the line, read on the master side.
    std::uint32_t LineBaud() const;
    const std::string& SlavePath() const { return m_line.SlavePath(); }

  private:
    void Serve();
    void Wake() const;
    void TakeRequests(const Byte* data, std::size_t count);
    void WritePending();

    PtyLine m_line;
    int m_wake = -1;
    mutable std::mutex m_mutex;
    Responder m_responder;
    Bytes m_incoming;
    Bytes m_outgoing;
    Bytes m_flood;
    std::size_t m_written = 0;
    std::uint64_t m_floodRounds = 0;
    std::vector<Request> m_requests;
    bool m_stop = false;
    std::thread m_thread;
};

// A main window with a folder of its own for COM ports.
class SerialLinkTest : public PanelTest {
  public:
    static constexpr int kCom = 7;
    static constexpr Byte kMarker = 0xA5;  // block bytes a reply has not written

  protected:
    void SetUp() override;
    void TearDown() override;

    FakeModule& PlugFake(int com = kCom);
    // The simulator as a real process on COM<com>, a pseudo-terminal of its own.
    simtest::SimProcess& StartSim(const QStringList& options, int com = kCom);
    // The parameter block and address the simulator reports on "show".
    simtest::ParamBlock SimParams();
    QString SimAddress();
    QString ComPath(int com = kCom) const;
    // Selects COM<com> and presses "Open".
    void OpenCom(int com = kCom);
    // Presses the serial "Search"; returns how long the window was busy with it.
    std::chrono::milliseconds Search();
    bool Found() const { return ReportText(*dlg).startsWith(QStringLiteral("Found device!\r\n")); }
    // Opens COM<com> on a fake module that answers the first parameter read with `params`
    // and searches: the reader then runs.
    void ConnectFake(const std::array<Byte, 10>& params);
    QString FirstReportLine() const {
        return ReportText(*dlg).section(QStringLiteral("\r\n"), 0, 0);
    }
    // Whether a COM port the window opened is still open, as the trace tells: the window's own
    // caption is left as it was when the window closes.
    bool AnyComPortOpen() const { return m_openComPorts.load() > 0; }

    std::atomic<int> m_openComPorts{0};
    TraceSubscription m_comPortEvents{[this](const TraceEvent& event) {
        if (event.link.name.rfind("COM", 0) == 0) {
            m_openComPorts += event.direction == trace_kind::kOpen    ? 1
                              : event.direction == trace_kind::kClose ? -1
                                                                      : 0;
        }
    }};
    QTemporaryDir comDir;
    std::unique_ptr<FakeModule> fake;
    std::unique_ptr<simtest::SimProcess> sim;
};

// Answers the two parameter reads of the search: the read of five registers to unit 0xFF with
// `toFive`, the read of three with `toThree` (empty: no answer).
FakeModule::Responder ParamResponder(Bytes toFive, Bytes toThree);
// The reply to a parameter read carrying `params`.
Bytes ParamReply(Byte unit, const std::vector<Byte>& params);
bool IsFiveRegisterRead(const Bytes& request);
bool IsThreeRegisterRead(const Bytes& request);
