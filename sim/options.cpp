#include "options.h"

#include <algorithm>
#include <charconv>
#include <functional>

#include "discovery_protocol.h"

namespace sim {

namespace {

using Apply = std::function<std::string(SimOptions&, const std::string&)>;

struct OptionRule {
    const char* name;
    bool takesValue;
    Apply apply;
};

std::optional<int> ParseInt(const std::string& text, int low, int high) {
    int value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || ptr != end || text.empty() || value < low || value > high) {
        return std::nullopt;
    }
    return value;
}

// Stores a bounded integer, or says what is wrong with it.
Apply IntInto(int SimOptions::*field, int low, int high) {
    return [=](SimOptions& o, const std::string& v) -> std::string {
        auto n = ParseInt(v, low, high);
        if (!n)
            return "expects a number from " + std::to_string(low) + " to " + std::to_string(high);
        o.*field = *n;
        return {};
    };
}

Apply DiscoveryIntInto(int DiscoveryOptions::*field, int low, int high) {
    return [=](SimOptions& o, const std::string& v) -> std::string {
        auto n = ParseInt(v, low, high);
        if (!n)
            return "expects a number from " + std::to_string(low) + " to " + std::to_string(high);
        o.discovery.*field = *n;
        return {};
    };
}

Apply FaultInto(int FaultOptions::*field) {
    return [=](SimOptions& o, const std::string& v) -> std::string {
        auto n = ParseInt(v, 0, 1000000);
        if (!n) return "expects a count from 0 to 1000000";
        o.faults.*field = *n;
        return {};
    };
}

std::string ApplyTcp(SimOptions& o, const std::string& v) {
    const auto colon = v.rfind(':');
    if (colon == std::string::npos || colon == 0) return "expects HOST:PORT, e.g. 127.0.0.1:4196";
    auto port = ParseInt(v.substr(colon + 1), 0, 65535);
    if (!port) return "has a port that is not 0..65535";
    o.host = v.substr(0, colon);
    if (o.host.size() > 2 && o.host.front() == '[' && o.host.back() == ']') {
        o.host = o.host.substr(1, o.host.size() - 2);  // [IPV6]:PORT
    }
    o.port = *port;
    return {};
}

std::string ApplyFraming(SimOptions& o, const std::string& v) {
    if (v == "tcp") {
        o.framing = Framing::ModbusTcp;
    } else if (v == "rtu") {
        o.framing = Framing::ModbusRtu;
    } else {
        return "expects tcp or rtu";
    }
    return {};
}

std::string ApplySerial(SimOptions& o, const std::string& v) {
    const bool valid =
        v.size() > 3 && v.compare(0, 3, "COM") == 0 && ParseInt(v.substr(3), 1, 255).has_value();
    if (!valid) return "expects a port name COM1..COM255";
    o.serial = true;
    o.comName = v;
    return {};
}

std::string ApplyBaud(SimOptions& o, const std::string& v) {
    auto baud = ParseInt(v, 1, 1000000);
    if (!baud || BaudIndexOf(*baud) < 0) {
        return "expects one of 1200 2400 4800 9600 19200 38400 57600 115200";
    }
    o.baud = *baud;
    return {};
}

std::string ApplySplit(SimOptions& o, const std::string& v) {
    const auto colon = v.find(':');
    auto bytes = ParseInt(v.substr(0, colon), 1, 255);
    auto pause = colon == std::string::npos ? std::optional<int>(0)
                                            : ParseInt(v.substr(colon + 1), 0, 10000);
    if (!bytes || !pause) return "expects N:MS, e.g. 3:20 (3-byte pieces, 20 ms apart)";
    o.splitBytes = *bytes;
    o.splitPauseMs = *pause;
    return {};
}

std::string ApplyDigitalInputs(SimOptions& o, const std::string& v) {
    const bool valid = v.size() == 4 &&
                       std::all_of(v.begin(), v.end(), [](char c) { return c == '0' || c == '1'; });
    if (!valid) return "expects four digits 0/1, DI1 first, e.g. 1010";
    for (std::size_t i = 0; i < 4; ++i) o.digitalInputs[i] = v[i] == '1';
    return {};
}

std::string ApplyAnalogInputs(SimOptions& o, const std::string& v) {
    const auto comma = v.find(',');
    if (comma == std::string::npos) return "expects RAW1,RAW2, e.g. 512,1023";
    auto first = ParseInt(v.substr(0, comma), 0, 65535);
    auto second = ParseInt(v.substr(comma + 1), 0, 65535);
    if (!first || !second) return "expects two raw values 0..65535";
    o.analogInputs = {static_cast<std::uint16_t>(*first), static_cast<std::uint16_t>(*second)};
    return {};
}

std::string ApplyName(SimOptions& o, const std::string& v) {
    if (v.empty() || v.size() > kMaxNameLength) {
        return "expects 1 to " + std::to_string(kMaxNameLength) + " characters";
    }
    o.discovery.name = v;
    return {};
}

std::string ApplyControl(SimOptions& o, const std::string& v) {
    auto port = ParseInt(v, 0, 65535);
    if (!port) return "expects a port 0..65535";
    o.controlPort = *port;
    return {};
}

std::string ApplyAppProtocol(SimOptions& o, const std::string& v) {
    auto n = ParseInt(v, 0, 255);
    if (!n) return "expects a number from 0 to 255";
    o.discovery.appProtocol = *n;
    return {};
}

std::vector<OptionRule> Rules() {
    return {
        {"--tcp", true, ApplyTcp},
        {"--framing", true, ApplyFraming},
        {"--serial", true, ApplySerial},
        {"--baud", true, ApplyBaud},
        {"--address", true, IntInto(&SimOptions::address, 0, 247)},
        {"--no-broadcast-unit", false,
         [](SimOptions& o, const std::string&) {
             o.answerBroadcastUnit = false;
             return std::string();
         }},
        {"--split", true, ApplySplit},
        {"--di", true, ApplyDigitalInputs},
        {"--ai", true, ApplyAnalogInputs},
        {"--control", true, ApplyControl},
        {"--idle-timeout", true, IntInto(&SimOptions::idleTimeoutS, 1, 86400)},
        {"--name", true, ApplyName},
        {"--work-mode", true, DiscoveryIntInto(&DiscoveryOptions::workMode, 0, 255)},
        {"--app-protocol", true, ApplyAppProtocol},
        {"--baud-index", true, DiscoveryIntInto(&DiscoveryOptions::baudIndex, 0, 255)},
        {"--parity", true, DiscoveryIntInto(&DiscoveryOptions::parity, 0, 255)},
        {"--data-bits", true, DiscoveryIntInto(&DiscoveryOptions::dataBits, 0, 255)},
        {"--discovery-port", true, DiscoveryIntInto(&DiscoveryOptions::udpPort, 1, 65535)},
        {"--no-discovery", false,
         [](SimOptions& o, const std::string&) {
             o.discovery.enabled = false;
             return std::string();
         }},
        {"--delay-ms", true, FaultInto(&FaultOptions::delayMs)},
        {"--drop-every", true, FaultInto(&FaultOptions::dropEvery)},
        {"--garbage-every", true, FaultInto(&FaultOptions::garbageEvery)},
        {"--bad-crc-every", true, FaultInto(&FaultOptions::badCrcEvery)},
        {"--exception-every", true, FaultInto(&FaultOptions::exceptionEvery)},
        {"--close-after", true, FaultInto(&FaultOptions::closeAfter)},
        {"--reply-unit", true,
         [](SimOptions& o, const std::string& v) -> std::string {
             auto n = ParseInt(v, 0, 255);
             if (!n) return "expects a unit from 0 to 255";
             o.faults.replyUnit = *n;
             return {};
         }},
        {"--stop-reading", false,
         [](SimOptions& o, const std::string&) {
             o.faults.stopReading = true;
             return std::string();
         }},
    };
}

std::string CheckCombination(const SimOptions& o, bool framingGiven, bool tcpGiven) {
    if (o.serial && tcpGiven) return "--serial and --tcp exclude each other";
    if (o.serial && framingGiven && o.framing != Framing::ModbusRtu) {
        return "the serial model always speaks RTU; --framing tcp does not apply";
    }
    return {};
}

}  // namespace

int BaudIndexOf(int baud) {
    const auto* it = std::find(kBaudRates.begin(), kBaudRates.end(), baud);
    return it == kBaudRates.end() ? -1 : static_cast<int>(it - kBaudRates.begin());
}

ParsedCommandLine ParseCommandLine(const std::vector<std::string>& args) {
    ParsedCommandLine result;
    const std::vector<OptionRule> rules = Rules();
    bool framingGiven = false;
    bool tcpGiven = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "-h" || arg == "--help") {
            result.showHelp = true;
            return result;
        }
        const auto rule = std::find_if(rules.begin(), rules.end(),
                                       [&](const OptionRule& r) { return arg == r.name; });
        if (rule == rules.end()) {
            result.error = "unknown option " + arg + " (see --help)";
            return result;
        }
        if (rule->takesValue && i + 1 >= args.size()) {
            result.error = arg + " needs a value (see --help)";
            return result;
        }
        const std::string value = rule->takesValue ? args[++i] : std::string();
        if (std::string why = rule->apply(result.options, value); !why.empty()) {
            result.error = arg + " " + why;
            return result;
        }
        framingGiven = framingGiven || arg == "--framing";
        tcpGiven = tcpGiven || arg == "--tcp";
    }
    result.error = CheckCombination(result.options, framingGiven, tcpGiven);
    if (result.options.serial) result.options.framing = Framing::ModbusRtu;
    return result;
}

std::string HelpText() {
    return R"(Usage: kestrel-sim [options]

Simulates one Kestrel I/O module (four relays, four digital inputs, two analog
inputs and the parameter block) so the control panel can be tried without hardware.
By default it is a network module listening on 127.0.0.1:4196 in Modbus TCP framing.

Network model (7310):
  --tcp HOST:PORT       listen on this IPv4 address (or [IPV6]) and TCP port (default 127.0.0.1:4196;
                        port 0 picks a free port, printed on the "listening" line)
  --framing tcp|rtu     Modbus TCP (MBAP) framing or RTU frames inside the TCP stream
                        (default tcp)
  --idle-timeout S      drop a client that has sent no complete request for S seconds,
                        1..86400 (default 600). At most 32 clients are served at once;
                        a further client takes the place of the one idle the longest.

Serial model (7350):
  --serial COMn         open a pseudo-terminal and publish it as $KESTREL_COM_DIR/COMn
                        (KESTREL_COM_DIR must be set; the link is removed at exit)
  --baud RATE           the rate the module talks at: 1200 2400 4800 9600 19200 38400
                        57600 115200 (default 9600). Requests sent while the line is set
                        to another rate are ignored, as on a real line.

The module:
  --address N           slave address 0..247 (default 1; 0, the broadcast address, only
                        to try how a client takes a module that reports it)
  --no-broadcast-unit   do not answer unit 0xFF (by default it answers 0xFF too)
  --di BITS             initial digital inputs, DI1 first, e.g. 1010
  --ai RAW1,RAW2        initial raw analog values, e.g. 512,1023
  --split N:MS          send every reply in pieces of N bytes, MS ms apart

Discovery (network model only):
  --name TEXT           module name (default KESTREL-SIM-<port>)
  --work-mode N         reported work mode (default 0)
  --app-protocol N      reported application protocol (default 1 with tcp framing,
                        0 with rtu)
  --baud-index N        reported baud index (default 11)
  --parity N            reported parity (default 0)
  --data-bits N         reported data bits (default 0)
  --discovery-port N    UDP port to answer searches on (default the standard one)
  --no-discovery        do not answer searches at all

Control:
  --control PORT        also accept the commands below on 127.0.0.1:PORT, one per line;
                        at most 32 connections, a further one takes the place of the one
                        quiet the longest

  Commands, on standard input or the control port, each answered with one line:
    di K 0|1            set digital input K (1..4); sends an upload when enabled
    ai K RAW            set analog input K (1..2) to RAW (0..65535)
    show                print the state, e.g.
                        state relays=1000 di=0000 ai=0,0 params=01 00 02 07 16 00 00 00 00 00 address=1
    quit                stop the simulator
  End of standard input is not a reason to stop: run it in the background with
  </dev/null and stop it with SIGINT/SIGTERM or "quit" on the control port.

Misbehaviour, to try the panel against a faulty module (N = 0 means never):
  --delay-ms N          wait N ms before every reply
  --drop-every N        leave every Nth request unanswered
  --garbage-every N     send stray bytes before every Nth reply
  --bad-crc-every N     send every Nth RTU reply with a wrong CRC
  --exception-every N   refuse every Nth request with exception 04
  --close-after N       disconnect a TCP client after N replies
  --stop-reading        accept connections but never read requests
  --reply-unit U        answer every request from unit U, whatever unit it was sent to

Once ready it prints one line and flushes it, e.g.
  listening tcp 127.0.0.1:4196 framing=tcp
  listening serial COM7 -> /dev/pts/3 baud=9600

Examples:
  kestrel-sim --tcp 127.0.0.1:5020 --framing rtu --address 3
  KESTREL_COM_DIR=/tmp/com kestrel-sim --serial COM5 --baud 19200 </dev/null &
)";
}

}  // namespace sim
