#pragma once

#include <cstdint>
#include <string>

// The report lines the window writes of its own about requests and the parameter block, in one
// place, so that they read alike.
namespace report_line {

// A relay or query button pressed with no link to send on.
inline std::string NotSent(const std::string& request, bool tcpChosen) {
    return tcpChosen ? request +
                           " was not sent: no link is in use (connect over TCP or open a COM "
                           "port)"
                     : request + " was not sent: the COM port is closed";
}

// A request sent on a COM port whose module no search has found yet: no reader runs.
inline std::string RepliesNotRead(const std::string& request, const std::string& port) {
    return request + " was sent on " + port +
           ", but replies are not read until a search finds the module";
}

inline std::string ParamReadRefused(std::uint8_t unit, std::uint8_t code, const char* name) {
    return "Unit " + std::to_string(unit) + " refused the parameter read: exception " +
           std::to_string(code) + " (" + name + ")";
}

inline std::string ParamReadUnanswered() {
    return "No reply to the parameter read";
}

// The module gave the first three registers but not all five: the AI periods are unknown.
inline std::string ParamReadPartial() {
    return "No reply to the read of all five parameter registers: \"Advanced\" stays off";
}

inline std::string AddressZero(std::uint8_t unitInUse) {
    return "The module reports address 0, the broadcast address, which is no module's: requests "
           "still go to unit " +
           std::to_string(unitInUse) + " and \"Advanced\" stays off";
}

inline std::string ParamsWritten(std::uint8_t unit) {
    return "Parameters written to unit " + std::to_string(unit);
}

// differences: "AI1 initiative upload 1000 (written 1500), ..."
inline std::string ParamsReadBackDiffer(std::uint8_t unit, const std::string& differences) {
    return "Parameters written to unit " + std::to_string(unit) + ", but the module reads back " +
           differences;
}

// The status line after a network search that found nothing.
inline std::string NoModuleAnswered() {
    return "No module answered";
}

}  // namespace report_line
