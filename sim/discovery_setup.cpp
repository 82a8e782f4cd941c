#include "discovery_setup.h"

namespace sim {

DiscoveredDevice DescribeForDiscovery(const SimOptions& options, std::uint16_t tcpPort) {
    const DiscoveryOptions& d = options.discovery;
    DiscoveredDevice device;
    device.name = d.name.empty() ? "KESTREL-SIM-" + std::to_string(tcpPort) : d.name;
    device.ip = options.host;
    device.port = tcpPort;
    device.workMode = static_cast<std::uint8_t>(d.workMode);
    const int defaultProtocol = options.framing == Framing::ModbusTcp ? 1 : 0;
    device.appProtocol = static_cast<std::uint8_t>(d.appProtocol.value_or(defaultProtocol));
    device.baudIndex = static_cast<std::uint8_t>(d.baudIndex);
    device.parity = static_cast<std::uint8_t>(d.parity);
    device.dataBits = static_cast<std::uint8_t>(d.dataBits);
    return device;
}

std::unique_ptr<DiscoveryResponder> StartDiscovery(const SimOptions& options, std::uint16_t tcpPort,
                                                   std::string* error) {
    const std::uint16_t udpPort = options.discovery.udpPort == 0
                                      ? kDiscoveryPort
                                      : static_cast<std::uint16_t>(options.discovery.udpPort);
    return DiscoveryResponder::Start(DescribeForDiscovery(options, tcpPort), error, udpPort);
}

}  // namespace sim
