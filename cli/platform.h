#pragma once

#include <memory>
#include <string>

#include "event_port.h"
#include "tcp_port.h"

// What kestrel-cli takes from the system, made in one place per platform: platform_posix.cpp
// (link/'s poll loop and POSIX sockets) and platform_win32.cpp (the Win32 message loop and
// Winsock of win/). The rest of kestrel-cli is the same on both.
namespace cli {

// The loop a run goes on, with the TCP connections it watches.
class RunLoop : public EventPort {
  public:
    // Runs until Quit.
    virtual void Run() = 0;
    // Any thread: the Run under way returns; a Quit while no Run is under way is forgotten.
    virtual void Quit() = 0;
    virtual TcpPort& Tcp() = 0;
};

std::unique_ptr<RunLoop> MakeRunLoop();

// Before a run: a peer that goes away does not end the program (Linux: SIGPIPE ignored), and as
// many links may be open as the system allows.
void PrepareProcess();
// Whether standard input is a terminal (a console) the operator can answer on.
bool InputIsTerminal();
// One character from standard input; false at its end, on an error, or when interrupted.
bool ReadInputChar(char& c);
// Whether host is an IPv6 address literal.
bool IsIpv6Literal(const std::string& host);

}  // namespace cli
