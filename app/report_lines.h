#pragma once

#include <QString>
#include <cstdint>

// The report lines the window writes of its own about requests and the parameter block, in one
// place, so that they read alike.
namespace report_line {

// A relay or query button pressed with no link to send on.
inline QString NotSent(const QString& request, bool tcpChosen) {
    return tcpChosen ? QStringLiteral(
                           "%1 was not sent: no link is in use (connect over TCP or "
                           "open a COM port)")
                           .arg(request)
                     : QStringLiteral("%1 was not sent: the COM port is closed").arg(request);
}

// A request sent on a COM port whose module no search has found yet: no reader runs.
inline QString RepliesNotRead(const QString& request, const QString& port) {
    return QStringLiteral(
               "%1 was sent on %2, but replies are not read until a search finds "
               "the module")
        .arg(request, port);
}

inline QString ParamReadRefused(std::uint8_t unit, std::uint8_t code, const char* name) {
    return QStringLiteral("Unit %1 refused the parameter read: exception %2 (%3)")
        .arg(unit)
        .arg(code)
        .arg(QString::fromLatin1(name));
}

inline QString ParamReadUnanswered() {
    return QStringLiteral("No reply to the parameter read");
}

// The module gave the first three registers but not all five: the AI periods are unknown.
inline QString ParamReadPartial() {
    return QStringLiteral(
        "No reply to the read of all five parameter registers: \"Advanced\" "
        "stays off");
}

inline QString AddressZero(std::uint8_t unitInUse) {
    return QStringLiteral(
               "The module reports address 0, the broadcast address, which is no "
               "module's: requests still go to unit %1 and \"Advanced\" stays off")
        .arg(unitInUse);
}

inline QString ParamsWritten(std::uint8_t unit) {
    return QStringLiteral("Parameters written to unit %1").arg(unit);
}

// differences: "AI1 initiative upload 1000 (written 1500), ..."
inline QString ParamsReadBackDiffer(std::uint8_t unit, const QString& differences) {
    return QStringLiteral("Parameters written to unit %1, but the module reads back %2")
        .arg(unit)
        .arg(differences);
}

// The status line after a network search that found nothing.
inline QString NoModuleAnswered() {
    return QStringLiteral("No module answered");
}

}  // namespace report_line
