#include <winsock2.h>
// winsock2.h before the others
#include <windows.h>
#include <ws2tcpip.h>

#include "platform.h"
#include "win_event_port.h"
#include "winsock_tcp_port.h"

namespace cli {
namespace {

class MessageRunLoop final : public RunLoop {
  public:
    std::unique_ptr<Timer> MakeTimer() override { return m_loop.MakeTimer(); }
    void Post(std::function<void()> fn) override { m_loop.Post(std::move(fn)); }
    Clock::time_point Now() const override { return m_loop.Now(); }
    void Run() override { m_loop.Run(); }
    void Quit() override { m_loop.Quit(); }
    TcpPort& Tcp() override { return m_tcp; }

  private:
    Win32EventPort m_loop;
    WinsockTcpPort m_tcp{m_loop};
};

}  // namespace

std::unique_ptr<RunLoop> MakeRunLoop() {
    return std::make_unique<MessageRunLoop>();
}

// Windows has no SIGPIPE (a send to a closed connection fails with an error) and no descriptor
// limit below what Winsock allows.
void PrepareProcess() {}

bool InputIsTerminal() {
    DWORD mode = 0;
    return ::GetConsoleMode(::GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

// Ctrl+C ends a console read with nothing read.
bool ReadInputChar(char& c) {
    DWORD got = 0;
    return ::ReadFile(::GetStdHandle(STD_INPUT_HANDLE), &c, 1, &got, nullptr) != 0 && got == 1;
}

// inet_pton needs no Winsock start.
bool IsIpv6Literal(const std::string& host) {
    in6_addr address{};
    return ::inet_pton(AF_INET6, host.c_str(), &address) == 1;
}

}  // namespace cli
