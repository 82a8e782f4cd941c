#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "event_port.h"
#include "tcp_port.h"

// The loop and the TCP connections of one shell (Qt's, the poll loop's), for the tests that run
// the conversation on every shell this program was built with.
class LinkShell {
  public:
    virtual ~LinkShell() = default;
    virtual EventPort& Loop() = 0;
    virtual TcpPort& Tcp() = 0;
    // Runs the loop until done() holds or `within` has passed; whether done() held.
    virtual bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds within) = 0;
};

struct ShellMaker {
    std::string name;
    std::function<std::unique_ptr<LinkShell>()> make;
};

// The shells of this program, defined beside its main.
std::vector<ShellMaker> Shells();
