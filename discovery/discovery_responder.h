#pragma once

#include <memory>
#include <string>

#include "discovery_protocol.h"

// Answers discovery requests on kDiscoveryPort (or the port given) with one module's
// description, from a thread of its own, until destroyed. Several responders on one machine
// all answer. When the description's ip is "0.0.0.0" the address of the interface the request
// came in on is reported.
class DiscoveryResponder {
  public:
    static std::unique_ptr<DiscoveryResponder> Start(const DiscoveredDevice& self,
                                                     std::string* error,
                                                     std::uint16_t udpPort = kDiscoveryPort);
    virtual ~DiscoveryResponder() = default;
};
