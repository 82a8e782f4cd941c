#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "discovery_protocol.h"
#include "discovery_responder.h"
#include "options.h"

namespace sim {

// How the network model describes itself to a search: its name, the TCP bind address and port,
// and the serial-side settings given on the command line.
DiscoveredDevice DescribeForDiscovery(const SimOptions& options, std::uint16_t tcpPort);

// Starts answering searches; nullptr (with the reason) when the UDP port cannot be had.
std::unique_ptr<DiscoveryResponder> StartDiscovery(const SimOptions& options, std::uint16_t tcpPort,
                                                   std::string* error);

}  // namespace sim
