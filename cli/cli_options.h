#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "frames.h"
#include "param_names.h"

namespace cli {

// One module to run the command on: a network module by host and port, or a serial module on a
// COM port (COMn or a device path), at a given rate or found by the baud-rate search.
struct Target {
    bool serial = false;
    std::string host;
    std::uint16_t port = 4196;
    std::string device;

    // How the module is named in results and errors: "127.0.0.1:4196", "COM5", "/dev/ttyUSB0".
    std::string Name() const;
};

enum class Command { Relay, Relays, Di, Ai, Params, ParamsSet, Discover, Watch };

struct Options {
    std::vector<Target> targets;
    Framing framing = Framing::ModbusTcp;
    std::optional<Byte> unit;
    std::optional<std::uint32_t> baud;  // the serial module's rate; none: search for it
    int timeoutMs = 1000;
    int pollMs = 0;  // with --poll: the command again every pollMs until interrupted
    bool json = false;
    bool quiet = false;
    bool yes = false;
    bool each = false;
    Command command = Command::Di;
    Command eachCommand = Command::Di;  // with discover --each
    int relay = 0;                      // 1..4
    bool relayOn = false;
    std::vector<ParamAssignment> assignments;
};

struct Parsed {
    Options options;
    bool help = false;
    bool version = false;
    std::string error;  // a usage error, when not empty
};

inline constexpr std::uint16_t kDefaultPort = 4196;
inline constexpr int kMaxParallel = 32;
// A --tcp @FILE list: at most this long and this many lines.
inline constexpr std::size_t kMaxListBytes = 1024 * 1024;
inline constexpr std::size_t kMaxListLines = 10000;

Parsed ParseCommandLine(const std::vector<std::string>& args);
std::string HelpText();

// The command as the operator wrote it: "relay 1 on", "params set", "ai".
std::string CommandName(const Options& options, Command command);

}  // namespace cli
