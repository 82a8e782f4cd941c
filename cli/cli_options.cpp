#include "cli_options.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <sstream>

#include "platform.h"
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

// A host name or address as given: printable, no spaces, at most a DNS name's length.
bool PlausibleHost(const std::string& host) {
    return !host.empty() && host.size() <= 253 &&
           std::all_of(host.begin(), host.end(), [](char c) { return c > ' ' && c < 0x7F; });
}

// HOST, HOST:PORT, [IPV6]:PORT, [IPV6] or a bare IPV6 literal (which takes no port); an error
// text, or empty.
std::string ParseTcpTarget(const std::string& text, Target& target) {
    std::string port;
    if (text.starts_with('[')) {
        const auto close = text.find(']');
        target.host = text.substr(1, close == std::string::npos ? 0 : close - 1);
        const std::string rest = close == std::string::npos ? "?" : text.substr(close + 1);
        if (!IsIpv6Literal(target.host) || (!rest.empty() && !rest.starts_with(':'))) {
            return "expects [IPV6] or [IPV6]:PORT";
        }
        port = rest.empty() ? std::string() : rest.substr(1);
        if (rest == ":") return "the port must be a number from 1 to 65535";
    } else if (std::count(text.begin(), text.end(), ':') > 1) {
        if (!IsIpv6Literal(text)) {
            return "expects HOST[:PORT]; an IPv6 address with a port is written [ADDRESS]:PORT";
        }
        target.host = text;
    } else {
        const auto colon = text.find(':');
        target.host = text.substr(0, colon);
        port = colon == std::string::npos ? std::string() : text.substr(colon + 1);
        if (colon != std::string::npos && port.empty()) {
            return "the port must be a number from 1 to 65535";
        }
    }
    if (!port.empty()) {
        const auto number = Number(port, 1, 65535);
        if (!number) return "the port must be a number from 1 to 65535";
        target.port = static_cast<std::uint16_t>(*number);
    }
    return PlausibleHost(target.host) ? std::string() : "expects HOST or HOST:PORT";
}

std::string AddTcpTarget(const std::string& text, Options& options) {
    Target target;
    if (std::string error = ParseTcpTarget(text, target); !error.empty()) {
        return "--tcp " + text + ": " + error;
    }
    options.targets.push_back(target);
    return {};
}

// The whole list file, at most kMaxListBytes; an error text, or empty.
std::string ReadListFile(const std::string& path, std::string& contents) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return std::string("cannot open the file: ") + std::strerror(errno);
    }
    std::array<char, 65536> chunk{};
    std::string error;
    for (;;) {
        const std::size_t got = std::fread(chunk.data(), 1, chunk.size(), file);
        contents.append(chunk.data(), got);
        if (contents.size() > kMaxListBytes) {
            error = "the list is longer than 1 MiB";
            break;
        }
        if (got < chunk.size()) {
            if (std::ferror(file) != 0) {
                error = std::string("cannot read the file: ") + std::strerror(errno);
            }
            break;
        }
    }
    std::fclose(file);
    return error;
}

// One target a line; blank lines and lines starting with # are passed over.
std::string AddTcpTargetsFromFile(const std::string& path, Options& options) {
    const std::string where = "--tcp @" + path + ": ";
    std::string contents;
    if (std::string error = ReadListFile(path, contents); !error.empty()) {
        return where + error;
    }
    std::istringstream lines(contents);
    std::string line;
    std::size_t number = 0;
    const std::size_t before = options.targets.size();
    while (std::getline(lines, line)) {
        if (++number > kMaxListLines) {
            return where + "more than " + std::to_string(kMaxListLines) + " lines";
        }
        line = Trimmed(line);
        if (line.empty() || line[0] == '#') {
            continue;
        }
        Target target;
        if (std::string error = ParseTcpTarget(line, target); !error.empty()) {
            return where + "line " + std::to_string(number) + ": " + error;
        }
        options.targets.push_back(target);
    }
    return options.targets.size() > before ? std::string() : where + "the file lists no module";
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

// An option whose value is a whole number from `low` to `high`, kept by `keep`.
ValueOption Ranged(const std::string& name, long low, long high, const std::string& what,
                   void (*keep)(Options&, long)) {
    return [=](const std::string& v, Options& o) -> std::string {
        const auto number = Number(v, low, high);
        if (!number) {
            return name + " " + v + ": expects " + what + " from " + std::to_string(low) + " to " +
                   std::to_string(high);
        }
        keep(o, *number);
        return {};
    };
}

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
        {"--unit", Ranged("--unit", 1, 255, "a unit",
                          [](Options& o, long n) { o.unit = static_cast<Byte>(n); })},
        {"--poll", Ranged("--poll", 10, 86400000, "milliseconds",
                          [](Options& o, long n) { o.pollMs = static_cast<int>(n); })},
        {"--timeout", Ranged("--timeout", 1, 600000, "milliseconds",
                             [](Options& o, long n) { o.timeoutMs = static_cast<int>(n); })},
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
        if (o.assignments.empty()) return "params set expects NAME=VALUE...";
        return AssignmentsClash(o.assignments) ? "params set: " + std::string(kAddressesDifferText)
                                               : std::string();
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
        if (o.pollMs > 0) return "--poll goes with di, ai or params";
        if (o.each && o.eachCommand == Command::Discover) return "discover --each discover?";
        return {};
    }
    if (o.each) return "--each goes with discover";
    const bool polled =
        o.command == Command::Di || o.command == Command::Ai || o.command == Command::Params;
    if (o.pollMs > 0 && !polled) return "--poll goes with di, ai or params";
    if (o.targets.empty()) return "no module given: --tcp HOST[:PORT] or --com COMn (see --help)";
    const auto serialCount =
        std::count_if(o.targets.begin(), o.targets.end(), [](const Target& t) { return t.serial; });
    if (o.baud && serialCount == 0) return "--baud goes with --com";
    if (serialCount > 1) return "one --com at a time";
    return {};
}

}  // namespace

std::string Target::Name() const {
    if (serial) return device;
    const bool ipv6 = host.find(':') != std::string::npos;
    return (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

// "--name=value" as "--name" "value".
std::vector<std::string> SplitAssignedOptions(const std::vector<std::string>& args) {
    std::vector<std::string> split;
    for (const std::string& arg : args) {
        const auto equals = arg.find('=');
        if (arg.starts_with("--") && equals != std::string::npos &&
            ValueOptions().contains(arg.substr(0, equals))) {
            split.push_back(arg.substr(0, equals));
            split.push_back(arg.substr(equals + 1));
        } else {
            split.push_back(arg);
        }
    }
    return split;
}

Parsed ParseCommandLine(const std::vector<std::string>& givenArgs) {
    Parsed parsed;
    const std::vector<std::string> args = SplitAssignedOptions(givenArgs);
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

Links (every option with a value may also be written --option=VALUE):
  --tcp HOST[:PORT]   a network module (port 4196 by default); give several to run the
                      command on each, at most 32 at once; results come in the order given.
                      IPv6: [::1]:502 with a port, ::1 without one
  --tcp @FILE         the network modules listed in FILE, one HOST[:PORT] a line
                      (blank lines and lines starting with # are passed over; at most
                      1 MiB and 10000 lines)
  --rtu               Modbus RTU framing inside the TCP stream (default: Modbus TCP)
  --com COMn|DEVICE   a serial module on COM1..COM255 or a device path such as /dev/ttyUSB0
  --baud RATE         its rate: 1200 2400 4800 9600 19200 38400 57600 115200; without
                      --baud the panel's baud-rate search finds it

Options:
  --unit U            the module's address, 1..255 (default: the address the module
                      reports to the parameter read, as the panel learns it). With --unit
                      (and --baud on the serial line) the command goes out alone, with no
                      parameter read first; only that unit's replies count
  --timeout MS        how long each request waits for its reply (default 1000; on the
                      serial line the time the frames take at the rate is added)
  --poll MS           di, ai or params again every MS milliseconds until interrupted, one
                      line (or JSON object) per module per round, each with its time
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
                      change the named fields of the block read from the module, show what
                      will be written, and on --yes (or a "y" typed at the terminal) write
                      it as the panel does (four registers 100 ms apart, the address last),
                      then read it back and compare; all on one link. Just before writing
                      the block is read again: changed since the plan, nothing is written.
                      address: 1..255; di-upload, di-upload-address: 0..255 (the two
                      addresses must differ); baud: one of the eight rates; ai1-period,
                      ai2-period: 0..65535 ms
  discover            list the modules of the local network with the panel's verdicts:
                      name, IP, port, work mode, protocol (against --rtu or Modbus TCP),
                      serial parameters. KESTREL_DISCOVERY_SCOPE=loopback keeps it on this
                      machine
  discover --each COMMAND [ARGS]
                      run the command on every module found
  watch               print the modules' own reports of their DI and AI as they come,
                      each with its time, until interrupted

Exit status:
  0  every module did what was asked (and watch ended by SIGINT or SIGTERM; --poll
     ends with the highest status of its rounds)
  1  a module did not answer, refused a request (the exception is named), closed the
     connection, reports address 0, changed its parameters between the read and the
     write, or read back other parameters than were written
  2  usage or value error (nothing was sent; nothing written when a value clashes with
     the block read)
  3  a link could not be made (refused, unreachable, timed out, port not opened)
  With several modules the status is the highest that applies. SIGINT or SIGTERM ends
  any other command at once, links closed, with 130 or 143; an interrupted params set
  says for each module how far its write got.

Examples:
  kestrel-cli discover
  kestrel-cli --tcp 127.0.0.1 relay 1 on
  kestrel-cli --tcp 127.0.0.1:5020 --rtu ai
  kestrel-cli --com COM5 params
  kestrel-cli --tcp 127.0.0.1 params set address=5 ai1-period=1000 --yes
  kestrel-cli --tcp @modules.txt --json ai
  kestrel-cli --tcp=[::1]:5020 --unit=1 --poll 500 di
)";
}

}  // namespace cli
