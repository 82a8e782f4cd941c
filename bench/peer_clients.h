#pragma once

#include <QtGlobal>
#include <cstddef>
#include <string>
#include <vector>

// Round trips in microseconds, and the processor time this process spent on them (all threads;
// negative when the client is another process).
struct RoundTrips {
    std::vector<double> micros;
    double cpuMs = -1.0;
};

// Round trips of one write-coil request (coil 0x0010, on and off in turn, unit 1) made by
// independent Modbus TCP clients against a module on 127.0.0.1:port, in microseconds.
// Empty, with the reason in `error`, when the client could not run.
RoundTrips LibmodbusRoundTrips(quint16 port, std::size_t warmUp, std::size_t count,
                               std::string& error);
// The same request from a bare QTcpSocket driven by the event loop as the panel's link is
// (send, then the next send queued once the whole reply is in): what an event-driven Qt client
// costs before any of the panel's own work.
RoundTrips QtSocketRoundTrips(quint16 port, std::size_t warmUp, std::size_t count,
                              std::string& error);
RoundTrips PymodbusRoundTrips(quint16 port, std::size_t warmUp, std::size_t count,
                              std::string& error);
