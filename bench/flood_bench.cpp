// The window under a flood: a peer streams bytes at the panel without a pause (whole analog
// replies, random bytes, or a unit that poses as the start of long frames) over TCP in both
// framings and over a pseudo-terminal, and the bench records the longest gap between the ticks
// of a 1 ms timer on the user-interface thread: how long the window could not have answered.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QComboBox>
#include <algorithm>
#include <array>
#include <atomic>
#include <thread>

#include "bench_sections.h"
#include "flood_patterns.h"
#include "main_template.h"
#include "pty_module.h"
#include "stall_probe.h"

namespace {

constexpr double kGoalMs = 50.0;
constexpr double kMonitorIntakeShare = 0.5;
constexpr int kFloodCom = 7;
constexpr int kAcceptBoundMs = 10000;
constexpr int kDrainBoundMs = 600000;
constexpr std::size_t kPatternBytes = 1 << 20;

// A peer on loopback that, once told to, writes `total` bytes of the pattern repeated to the
// first client and then closes its side.
class TcpFlooder {
  public:
    TcpFlooder(std::vector<Byte> pattern, std::size_t total)
        : m_pattern(std::move(pattern)), m_total(total) {
        m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(m_listener, 1) != 0 ||
            ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            return;
        }
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] { Run(); });
    }
    ~TcpFlooder() {
        m_stop = true;
        m_go = true;
        if (m_thread.joinable()) {
            m_thread.join();
        }
        ::close(m_listener);
    }
    TcpFlooder(const TcpFlooder&) = delete;
    TcpFlooder& operator=(const TcpFlooder&) = delete;

    quint16 Port() const { return m_port; }
    void Go() { m_go = true; }

  private:
    void Run() {
        pollfd waiting = {m_listener, POLLIN, 0};
        if (::poll(&waiting, 1, kAcceptBoundMs) != 1) {
            return;
        }
        const int client = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        while (!m_go) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        for (std::size_t sent = 0; sent < m_total && !m_stop;) {
            const std::size_t at = sent % m_pattern.size();
            const std::size_t size = std::min(m_pattern.size() - at, m_total - sent);
            const ssize_t wrote = ::send(client, m_pattern.data() + at, size, MSG_NOSIGNAL);
            if (wrote <= 0) {
                break;
            }
            sent += static_cast<std::size_t>(wrote);
        }
        // Read what the panel sent, then close only our side: the panel reads everything
        // before it sees the end and closes its own.
        ::shutdown(client, SHUT_WR);
        std::array<char, 4096> sink{};
        pollfd reading = {client, POLLIN, 0};
        while (!m_stop && ::poll(&reading, 1, 100) >= 0) {
            if ((reading.revents & POLLIN) != 0 && ::read(client, sink.data(), sink.size()) <= 0) {
                break;
            }
        }
        ::close(client);
    }

    std::vector<Byte> m_pattern;
    std::size_t m_total;
    int m_listener = -1;
    quint16 m_port = 0;
    std::atomic<bool> m_go{false};
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

struct FloodCase {
    const char* name;
    std::vector<Byte> (*pattern)(Framing framing);
};

std::vector<Byte> Analog(Framing framing) {
    std::size_t frames = 0;
    return FramedPattern(AnalogBodies(), framing, kPatternBytes, frames);
}
std::vector<Byte> Random(Framing) {
    return RandomPattern(kPatternBytes);
}
std::vector<Byte> LongFrameStarts(Framing) {
    return RepeatedPattern("01 01 FF", kPatternBytes);
}

const FloodCase kCases[] = {
    {"valid analog replies", Analog},
    {"random bytes", Random},
    {"01 01 FF repeated", LongFrameStarts},
};

struct FloodRun {
    bool completed = false;
    double stallMs = 0.0;
    double seconds = 0.0;
};

void AddFloodRow(BenchTable& table, const std::string& figure, std::size_t mib,
                 const FloodRun& run) {
    if (!run.completed) {
        table.Failed(figure, "the flood was not taken in", "< 50 ms");
        return;
    }
    table.Check(figure,
                Format("longest stall %.1f ms; %zu MiB in %.1f s (%.1f MB/s)", run.stallMs, mib,
                       run.seconds, static_cast<double>(mib << 20) / run.seconds / 1e6),
                "< 50 ms", run.stallMs < kGoalMs);
}

// The traffic monitor open beside the panel, as the context menu's item opens it.
void OpenMonitorIf(bool monitor, KestrelWindow& dlg) {
    if (monitor) {
        dlg.Dlg().OnTraffic();
    }
}

FloodRun TcpFlood(const FloodCase& c, Framing framing, std::size_t mib, bool monitor) {
    TcpFlooder flooder(c.pattern(framing), mib << 20);
    auto dlg = NewPanel();
    OpenMonitorIf(monitor, *dlg);
    dlg->Item<QComboBox>(IDC_PROTOCOL)->setCurrentIndex(framing == Framing::ModbusRtu ? 1 : 0);
    if (flooder.Port() == 0 || !ConnectTcp(*dlg, flooder.Port())) {
        return {};
    }
    StallProbe probe;
    probe.Start();
    flooder.Go();
    // The flooder closes its side at the end; the panel drops the link once it has read all.
    const bool done = RunEventsUntil([&] { return !TcpConnected(*dlg); }, kDrainBoundMs);
    const double seconds = probe.SecondsSinceStart();
    return {done, probe.LongestMs(), seconds};
}

FloodRun PtyFlood(const FloodCase& c, const BenchOptions& options, std::size_t mib, bool monitor) {
    PtyModule module(options.comDir, kFloodCom, true);
    auto dlg = NewPanel();
    OpenMonitorIf(monitor, *dlg);
    if (!module.Ready() || !OpenCom(*dlg, kFloodCom) || !SearchCom(*dlg)) {
        return {};
    }
    StallProbe probe;
    probe.Start();
    module.StartFlood(c.pattern(Framing::ModbusRtu), mib << 20);
    const bool done = RunEventsUntil([&] { return module.FloodWritten() && module.Unread() == 0; },
                                     kDrainBoundMs);
    const double seconds = probe.SecondsSinceStart();
    RunEventsUntil([] { return false; }, 50);  // the reader's last piece
    return {done, probe.LongestMs(), seconds};
}

}  // namespace

// The same flood with the monitor closed and open, one after the other: the rate open over the
// rate closed.
void AddMonitorRatioRow(BenchTable& table, const std::string& figure, const FloodRun& closed,
                        const FloodRun& open) {
    if (!closed.completed || !open.completed) {
        return;
    }
    const double ratio = closed.seconds / open.seconds;
    table.Check(figure + ", intake monitor open / closed", Format("%.2fx", ratio), ">= 0.50x",
                ratio >= kMonitorIntakeShare);
}

void BenchFlood(BenchTable& table, const BenchOptions& options) {
    for (const FloodCase& c : kCases) {
        for (const Framing framing : {Framing::ModbusTcp, Framing::ModbusRtu}) {
            const char* name = framing == Framing::ModbusTcp ? "MODBUS TCP" : "MODBUS RTU";
            const std::string figure = Format("8. Flood over TCP (%s), %s", name, c.name);
            const FloodRun closed = TcpFlood(c, framing, options.floodMiB, false);
            const FloodRun open = TcpFlood(c, framing, options.floodMiB, true);
            AddFloodRow(table, figure, options.floodMiB, closed);
            AddFloodRow(table, figure + ", monitor open", options.floodMiB, open);
            AddMonitorRatioRow(table, figure, closed, open);
        }
    }
    for (const FloodCase& c : kCases) {
        // Every analog reply on the serial link is handed to the window and waited for, so
        // that flood is taken in far slower than the others; it runs on a smaller volume.
        const std::size_t mib = c.pattern == Analog ? options.floodPtyAnalogMiB : options.floodMiB;
        const std::string figure = Format("8. Flood over a pseudo-terminal, %s", c.name);
        const FloodRun closed = PtyFlood(c, options, mib, false);
        const FloodRun open = PtyFlood(c, options, mib, true);
        AddFloodRow(table, figure, mib, closed);
        AddFloodRow(table, figure + ", monitor open", mib, open);
        AddMonitorRatioRow(table, figure, closed, open);
    }
}
