#pragma once

#include <poll.h>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "control.h"
#include "fault_injector.h"
#include "module_model.h"
#include "options.h"
#include "outbox.h"
#include "pty_line.h"
#include "stream_framer.h"

namespace sim {

// The I/O side of one simulated module: a TCP server (several clients) or a pseudo-terminal,
// the control channels, the periodic analog uploads, all driven by one poll() loop.
class Simulator {
  public:
    // The most one read of a link or of a control channel takes in.
    static constexpr std::size_t kLargestRead = 1024;

    Simulator(const SimOptions& options, ModuleModel& module);
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Binds the server or creates the terminal, and the control port if asked for.
    bool Open(std::string* error);
    // The TCP port actually bound (the network model).
    std::uint16_t BoundPort() const { return boundPort_; }
    std::string ListeningLine() const;
    std::optional<std::uint16_t> ControlPort() const { return controlPort_; }

    // Runs until "quit" or until stopFd becomes readable (the signal handler writes to it).
    void Run(int stopFd);

  private:
    // One byte stream the module talks Modbus on: a TCP client or the terminal.
    struct Link {
        Link(int descriptor, bool isTerminal, Framing framing)
            : fd(descriptor),
              terminal(isTerminal),
              framer(framing, Direction::Request),
              lastHeard(Clock::now()) {}
        int fd = -1;
        bool terminal = false;
        StreamFramer framer;
        Clock::time_point lastHeard;  // last complete request, or the connection; not stray bytes
        Outbox outbox;
        int replies = 0;
        bool closing = false;
        bool dead = false;
        bool MayMakeRoom() const { return !terminal && !dead; }
    };
    struct ControlClient {
        explicit ControlClient(int descriptor) : fd(descriptor), lastHeard(Clock::now()) {}
        int fd = -1;
        LineBuffer input;
        std::string output;
        Clock::time_point lastHeard;  // last command line, or the connection
        bool dead = false;
        bool MayMakeRoom() const { return !dead; }
    };
    using Handler = std::function<void(short revents)>;

    bool OpenTcp(std::string* error);
    bool OpenControl(std::string* error);
    void Poll(int stopFd);
    void Watch(int fd, short events, Handler handler);
    int PollTimeoutMs(Clock::time_point now) const;

    void AcceptClient();
    void DropIdleClients(Clock::time_point now);
    void AcceptControlClient();
    void ServiceLink(Link& link, short revents);
    void ReadRequests(Link& link);
    void Answer(Link& link, const StreamFramer::Piece& request);
    void Broadcast(const Message& upload);
    void Deliver(Link& link, const std::vector<Byte>& frame, const Pacing& pacing);
    void ServiceControl(ControlClient& client, short revents);
    void ReadStdin();
    std::string Execute(const std::string& line);
    void RunAnalogUploads(Clock::time_point now);
    void Sweep();

    SimOptions options_;
    ModuleModel& module_;
    FaultInjector faults_;
    Pacing replyPacing_;
    Pacing uploadPacing_;
    Clock::duration idleTimeout_;
    int listenFd_ = -1;
    int controlFd_ = -1;
    std::uint16_t boundPort_ = 0;
    std::optional<std::uint16_t> controlPort_;
    std::unique_ptr<PtyLine> pty_;
    std::vector<std::unique_ptr<Link>> links_;
    std::vector<std::unique_ptr<ControlClient>> controls_;
    bool stdinOpen_ = true;
    LineBuffer stdinLines_;
    std::array<std::uint16_t, kAnalogInputCount> aiPeriod_{};
    std::array<std::optional<Clock::time_point>, kAnalogInputCount> aiDue_{};
    bool quit_ = false;
    std::vector<pollfd> pollSet_;
    std::vector<Handler> handlers_;
};

}  // namespace sim
