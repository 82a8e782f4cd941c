#pragma once

#include <span>
#include <string>
#include <string_view>

#include "frames.h"

// The operator's words for one traced frame: "write RL1 on, unit 5", "echo RL1 on, unit 5",
// "DI report: DI2 on", "AI 2.5 / 5", "exception 2 to query AI (illegal data address), unit 5",
// "dropped 3 bytes". `direction` and `bytes` are as the trace gives them ("tx", "rx", "drop";
// a Modbus TCP frame with its header, an RTU frame with its CRC). Replies are read as the network
// decoder reads them: a function-5 frame from a unit other than `windowAddress` is a DI report, on
// either link.
std::string SummarizeFrame(std::string_view direction, Framing framing, std::span<const Byte> bytes,
                           Byte windowAddress);
