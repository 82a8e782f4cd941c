#pragma once

#include <sys/types.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "frames.h"

namespace simtest {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

inline constexpr milliseconds kPatience{5000};  // generous: the machine is shared

// A kestrel-sim process with pipes on its standard input, output and error. It is started with
// posix_spawn: a fork of a threaded test process is refused under ThreadSanitizer.
class SimProcess {
  public:
    // Starts the simulator with `args` and waits for its "listening" line. `extraEnv` adjusts the
    // environment it inherits: "NAME=value" sets a variable, a bare "NAME" removes it.
    explicit SimProcess(const std::vector<std::string>& args,
                        const std::vector<std::string>& extraEnv = {}, bool keepStdin = true);
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    bool Started() const { return !listening_.empty(); }
    const std::string& ListeningLine() const { return listening_; }
    std::uint16_t Port() const;                        // from "listening tcp HOST:PORT"
    std::optional<std::uint16_t> ControlPort() const;  // from " control=PORT"

    // Sends one command line on stdin and returns the one line it answers with.
    std::string Command(const std::string& line);
    std::optional<std::string> ReadLine(milliseconds patience = kPatience);
    void Signal(int signo) const;
    // Waits for the process to end; its exit status, or nullopt when it is still running.
    std::optional<int> WaitExit(milliseconds patience = kPatience);
    std::string Stderr();

  private:
    pid_t pid_ = -1;
    int stdin_ = -1;
    int stdout_ = -1;
    int stderr_ = -1;
    std::string pending_;
    std::string listening_;
    std::optional<int> exitStatus_;  // once reaped
};

using ParamBlock = std::array<Byte, 10>;

// The fields of the simulator's answer to "show", e.g.
//   state relays=1000 di=0000 ai=0,0 params=01 00 02 07 16 00 00 00 00 00 address=1
// The parameter block: nullopt unless the line carries exactly ten hex bytes after "params=".
std::optional<ParamBlock> ShownParams(const std::string& showLine);
// The slave address after "address=", nullopt when the line carries none.
std::optional<int> ShownAddress(const std::string& showLine);

// A blocking-free client socket on 127.0.0.1.
class Client {
  public:
    explicit Client(std::uint16_t port);
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool Connected() const { return fd_ >= 0; }
    void Send(const std::vector<Byte>& bytes) const;
    // Exactly `count` bytes, or what arrived before the deadline / the peer closed.
    std::vector<Byte> Receive(std::size_t count, milliseconds patience = kPatience);
    // True when the peer closed the connection within the patience.
    bool ClosedByPeer(milliseconds patience = kPatience);

  private:
    int fd_ = -1;
};

struct CommandResult {
    int exitCode = -1;
    std::string output;
};

// Runs a program to completion (bounded), collecting stdout and stderr.
CommandResult RunProgram(const std::vector<std::string>& argv, milliseconds patience = kPatience);

// A fresh folder under /tmp, removed with its contents when destroyed.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    const std::string& Path() const { return path_; }

  private:
    std::string path_;
};

int RemainingMs(Clock::time_point deadline);

}  // namespace simtest
