#include "cli_options.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <functional>
#include <map>

#include "serial_rates.h"

namespace cli {

namespace {

std::optional<long> Number(const std::string& text, long low, long high) {
    long value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end || value < low || value > high) {
        return std::nullopt;
    }
    return value;
}

std::string Trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// HOST or HOST:PORT; an error text, or empty.
std::string AddTcpTarget(const std::string& text, Options& options) {
    Target target;
    const auto colon = text.rfind(':');
    target.host = text.substr(0, colon);
    if (colon != std::string::npos) {
        const auto port = Number(text.substr(colon + 1), 1, 65535);
        if (!port) {
            return "--tcp " + text + ": the port must be a number from 1 to 65535";
        }
        target.port = static_cast<std::uint16_t>(*port);
    }
    if (target.host.empty()) {
        return "--tcp " + text + ": expects HOST or HOST:PORT";
    }
    options.targets.push_back(target);
    return {};
}

// One target a line; blank lines and lines starting with # are passed over.
std::string AddTcpTargetsFromFile(const std::string& path, Options& options) {
    std::ifstream file(path);
    if (!file) {
        return "--tcp @" + path + ": cannot read the file";
    }
    std::string line;
    while (std::getline(file, line)) {
        line = Trimmed(line);
        if (line.empty() || line[0] == '#') {
            continue;
        }
        if (std::string error = AddTcpTarget(line, options); !error.empty()) {
            return "in " + path + ": " + error;
        }
    }
    return {};
}

std::string AddTcp(const std::string& value, Options& options) {
    return value.starts_with('@') ? AddTcpTargetsFromFile(value.substr(1), options)
                                  : AddTcpTarget(value, options);
}

std::string AddCom(const std::string& value, Options& options) {
    const bool comName = value.starts_with("COM") && Number(value.substr(3), 1, 255);
    if (!comName && !value.starts_with('/')) {
        return "--com " + value + ": expects COM1..COM255 or a device path such as /dev/ttyUSB0";
    }
    Target target;
    target.serial = true;
    target.device = value;
    options.targets.push_back(target);
    return {};
}

using ValueOption = std::function<std::string(const std::string&, Options&)>;

const std::map<std::string, ValueOption>& ValueOptions() {
    static const std::map<std::string, ValueOption> options = {
        {"--tcp", AddTcp},
        {"--com", AddCom},
        {"--baud",
         [](const std::string& v, Options& o) -> std::string {
             const auto rate = Number(v, 1, 1000000);
             for (const SerialRate& known : kSerialRates) {
                 if (rate && known.baud == static_cast<std::uint32_t>(*rate)) {
                     o.baud = known.baud;
                     return {};
                 }
             }
             return "--baud " + v + ": expects one of 1200 2400 4800 9600 19200 38400 57600 115200";
         }},
        {"--unit",
         [](const std::string& v, Options& o) -> std::string {
             const auto unit = Number(v, 1, 255);
             if (!unit) return "--unit " + v + ": expects a unit from 1 to 255";
             o.unit = static_cast<Byte>(*unit);
             return {};
         }},
        {"--timeout",
         [](const std::string& v, Options& o) -> std::string {
             const auto ms = Number(v, 1, 600000);
             if (!ms) return "--timeout " + v + ": expects milliseconds from 1 to 600000";
             o.timeoutMs = static_cast<int>(*ms);
             return {};
         }},
    };
    return options;
}

bool FlagOption(const std::string& arg, Parsed& parsed) {
    Options& o = parsed.options;
    const std::map<std::string, std::function<void()>> flags = {
        {"--rtu", [&] { o.framing = Framing::ModbusRtu; }},
        {"--json", [&] { o.json = true; }},
        {"--quiet", [&] { o.quiet = true; }},
        {"--yes", [&] { o.yes = true; }},
        {"--each", [&] { o.each = true; }},
        {"--help", [&] { parsed.help = true; }},
        {"-h", [&] { parsed.help = true; }},
        {"--version", [&] { parsed.version = true; }},
    };
    const auto found = flags.find(arg);
    if (found == flags.end()) {
        return false;
    }
    found->second();
    return true;
}

// The command words: COMMAND [ARGS]; an error text, or empty.
std::string ParseCommand(const std::vector<std::string>& words, std::size_t at, Command& command,
                         Options& o) {
    static const std::map<std::string, Command> kSimple = {
        {"relays", Command::Relays},     {"di", Command::Di},       {"ai", Command::Ai},
        {"discover", Command::Discover}, {"watch", Command::Watch},
    };
    if (at >= words.size()) {
        return "no command given (see --help)";
    }
    const std::string& word = words[at];
    const std::size_t rest = words.size() - at - 1;
    if (word == "relay") {
        const auto k = rest >= 1 ? Number(words[at + 1], 1, 4) : std::nullopt;
        if (rest != 2 || !k || (words[at + 2] != "on" && words[at + 2] != "off")) {
            return "relay expects K on|off, K from 1 to 4";
        }
        command = Command::Relay;
        o.relay = static_cast<int>(*k);
        o.relayOn = words[at + 2] == "on";
        return {};
    }
    if (word == "params" && rest >= 1 && words[at + 1] == "set") {
        command = Command::ParamsSet;
        for (std::size_t i = at + 2; i < words.size(); ++i) {
            ParamAssignment assignment;
            if (std::string error = ParseAssignment(words[i], assignment); !error.empty()) {
                return "params set " + error;
            }
            o.assignments.push_back(assignment);
        }
        return o.assignments.empty() ? "params set expects NAME=VALUE..." : std::string();
    }
    if (word == "params") {
        command = Command::Params;
        return rest == 0 ? std::string()
                         : "params takes no arguments (or: params set NAME=VALUE...)";
    }
    const auto simple = kSimple.find(word);
    if (simple == kSimple.end()) {
        return "unknown command " + word + " (see --help)";
    }
    command = simple->second;
    if (command == Command::Discover && o.each) {
        return rest == 0 ? "discover --each expects the command to run on each module"
                         : ParseCommand(words, at + 1, o.eachCommand, o);
    }
    return rest == 0 ? std::string() : word + " takes no arguments";
}

std::string CheckCombination(const Options& o) {
    if (o.command == Command::Discover) {
        if (!o.targets.empty()) return "discover finds its modules itself: drop --tcp and --com";
        if (o.each && o.eachCommand == Command::Discover) return "discover --each discover?";
        return {};
    }
    if (o.each) return "--each goes with discover";
    if (o.targets.empty()) return "no module given: --tcp HOST[:PORT] or --com COMn (see --help)";
    const auto serialCount =
        std::count_if(o.targets.begin(), o.targets.end(), [](const Target& t) { return t.serial; });
    if (o.baud && serialCount == 0) return "--baud goes with --com";
    if (serialCount > 1) return "one --com at a time";
    return {};
}

}  // namespace

std::string Target::Name() const {
    return serial ? device : host + ":" + std::to_string(port);
}

Parsed ParseCommandLine(const std::vector<std::string>& args) {
    Parsed parsed;
    std::vector<std::string> words;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const auto value = ValueOptions().find(arg);
        if (value != ValueOptions().end()) {
            if (i + 1 >= args.size()) {
                parsed.error = arg + " needs a value (see --help)";
                return parsed;
            }
            parsed.error = value->second(args[++i], parsed.options);
        } else if (!FlagOption(arg, parsed)) {
            if (arg.starts_with('-')) {
                parsed.error = "unknown option " + arg + " (see --help)";
            } else {
                words.push_back(arg);
            }
        }
        if (!parsed.error.empty() || parsed.help || parsed.version) {
            return parsed;
        }
    }
    parsed.error = ParseCommand(words, 0, parsed.options.command, parsed.options);
    if (parsed.error.empty()) {
        parsed.error = CheckCombination(parsed.options);
    }
    return parsed;
}

std::string CommandName(const Options& options, Command command) {
    switch (command) {
        case Command::Relay:
            return "relay " + std::to_string(options.relay) + (options.relayOn ? " on" : " off");
        case Command::Relays:
            return "relays";
        case Command::Di:
            return "di";
        case Command::Ai:
            return "ai";
        case Command::Params:
            return "params";
        case Command::ParamsSet:
            return "params set";
        case Command::Discover:
            return "discover";
        case Command::Watch:
            return "watch";
    }
    return {};
}

}  // namespace cli

namespace cli {

std::string HelpText() {
    return R"(Usage: kestrel-cli [LINK...] [OPTIONS] COMMAND [ARGS]

Drives Kestrel I/O modules (four relays, four digital inputs, two analog inputs and
the parameter block) from the command line, with the control panel's own frames.

Links:
  --tcp HOST[:PORT]   a network module (port 4196 by default); give several to run the
                      command on each, at most 32 at once; results come in the order given
  --tcp @FILE         the network modules listed in FILE, one HOST[:PORT] a line
                      (blank lines and lines starting with # are passed over)
  --rtu               Modbus RTU framing inside the TCP stream (default: Modbus TCP)
  --com COMn|DEVICE   a serial module on COM1..COM255 or a device path such as /dev/ttyUSB0
  --baud RATE         its rate: 1200 2400 4800 9600 19200 38400 57600 115200; without
                      --baud the panel's baud-rate search finds it

Options:
  --unit U            the module's address, 1..255 (default: the address the module
                      reports to the parameter read, as the panel learns it)
  --timeout MS        how long each request waits for its reply (default 1000; on the
                      serial line the time the frames take at the rate is added)
  --json              one JSON object per module a line, with "module" and, on failure,
                      "error"
  --quiet             print no results, only errors; the exit status tells
  --yes               params set writes without asking
  --help, --version

Commands:
  relay K on|off      switch relay K (1..4) and wait for the module's echo
  relays              this module family has no read of its relay states: a relay's
                      state is known only from the echo of a switch (relay K on|off).
                      relays sends nothing, never switches a relay, and ends with status 2
  di                  query the four digital inputs
  ai                  query the two analog inputs: volts (raw x 5 / 1024, as the panel
                      shows them) and the raw counts
  params              read the parameter block:
                        address baud di-upload di-upload-address ai1-period ai2-period version
  params set NAME=VALUE...
                      change the named fields of the block read from the module, checked
                      as the "Advanced" dialog checks them, show what will be written, and
                      on --yes (or a "y" typed at the terminal) write it as the panel does
                      (four registers 100 ms apart, the address last), then read it back
                      and compare. address, di-upload, di-upload-address: 0..255;
                      baud: one of the eight rates; ai1-period, ai2-period: 0..65535 ms
  discover            list the modules of the local network with the panel's verdicts:
                      name, IP, port, work mode, protocol (against --rtu or Modbus TCP),
                      serial parameters. KESTREL_DISCOVERY_SCOPE=loopback keeps it on this
                      machine
  discover --each COMMAND [ARGS]
                      run the command on every module found
  watch               print the modules' own reports of their DI and AI as they come,
                      until interrupted

Exit status:
  0  every module did what was asked (and watch ended by SIGINT or SIGTERM)
  1  a module did not answer, refused a request (the exception is named), closed the
     connection, or read back other parameters than were written
  2  usage error (nothing was sent)
  3  a link could not be made (refused, unreachable, timed out, port not opened)
  With several modules the status is the highest that applies. SIGINT or SIGTERM ends
  any other command at once, links closed, with 130 or 143.

Examples:
  kestrel-cli discover
  kestrel-cli --tcp 127.0.0.1 relay 1 on
  kestrel-cli --tcp 127.0.0.1:5020 --rtu ai
  kestrel-cli --com COM5 params
  kestrel-cli --tcp 127.0.0.1 params set address=5 ai1-period=1000 --yes
  kestrel-cli --tcp @modules.txt --json ai
)";
}

}  // namespace cli
