#include <arpa/inet.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>

#include "platform.h"
#include "poll_loop.h"
#include "poll_tcp_port.h"

namespace cli {
namespace {

class PollRunLoop final : public RunLoop {
  public:
    std::unique_ptr<Timer> MakeTimer() override { return m_loop.MakeTimer(); }
    void Post(std::function<void()> fn) override { m_loop.Post(std::move(fn)); }
    Clock::time_point Now() const override { return m_loop.Now(); }
    void Run() override { m_loop.Run(); }
    void Quit() override { m_loop.Quit(); }
    TcpPort& Tcp() override { return m_tcp; }

  private:
    PollLoop m_loop;
    PollTcpPort m_tcp{m_loop};
};

}  // namespace

std::unique_ptr<RunLoop> MakeRunLoop() {
    return std::make_unique<PollRunLoop>();
}

// params set and watch hold a link to every module at once: as many descriptors as allowed.
void PrepareProcess() {
    std::signal(SIGPIPE, SIG_IGN);
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

bool InputIsTerminal() {
    return isatty(STDIN_FILENO) != 0;
}

bool ReadInputChar(char& c) {
    return read(STDIN_FILENO, &c, 1) == 1;
}

bool IsIpv6Literal(const std::string& host) {
    in6_addr address{};
    return inet_pton(AF_INET6, host.c_str(), &address) == 1;
}

}  // namespace cli
