#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "frames.h"

namespace sim {

inline constexpr std::array<int, 8> kBaudRates = {1200,  2400,  4800,  9600,
                                                  19200, 38400, 57600, 115200};

// Deliberate misbehaviour, to try the panel against a module that is slow or unreliable.
// Counters of 0 mean "never".
struct FaultOptions {
    int delayMs = 0;           // every reply waits this long before it is sent
    int dropEvery = 0;         // every Nth request goes unanswered
    int garbageEvery = 0;      // every Nth reply is preceded by stray bytes
    int badCrcEvery = 0;       // every Nth RTU reply carries a wrong CRC
    int exceptionEvery = 0;    // every Nth request is refused with exception 04
    int closeAfter = 0;        // a TCP client is disconnected after this many replies
    bool stopReading = false;  // connections are accepted but never read from
    int replyUnit = -1;        // every reply carries this unit instead of the request's (0..255)
};

struct DiscoveryOptions {
    bool enabled = true;
    std::string name;  // empty: "KESTREL-SIM-<port>"
    int workMode = 0;
    std::optional<int> appProtocol;  // default follows the framing
    int baudIndex = 11;
    int parity = 0;
    int dataBits = 0;
    int udpPort = 0;  // 0: the standard discovery port
};

struct SimOptions {
    bool serial = false;
    std::string host = "127.0.0.1";
    int port = 4196;
    Framing framing = Framing::ModbusTcp;
    std::string comName;
    int baud = 9600;
    int address = 1;
    bool answerBroadcastUnit = true;
    int splitBytes = 0;  // 0: replies go out whole
    int splitPauseMs = 0;
    std::array<bool, 4> digitalInputs{};
    std::array<std::uint16_t, 2> analogInputs{};
    std::optional<int> controlPort;
    int idleTimeoutS = 600;  // a TCP client with no request for this long is dropped
    DiscoveryOptions discovery;
    FaultOptions faults;
};

struct ParsedCommandLine {
    SimOptions options;
    bool showHelp = false;
    std::string error;  // non-empty when the command line is unusable
};

ParsedCommandLine ParseCommandLine(const std::vector<std::string>& args);
std::string HelpText();

// Index 0..7 of a rate in kBaudRates, or -1.
int BaudIndexOf(int baud);

}  // namespace sim
