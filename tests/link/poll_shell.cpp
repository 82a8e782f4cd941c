// The conversation's tests on the plain shell: the poll loop and the system's sockets.
#include "link_shell.h"
#include "poll_loop.h"
#include "poll_tcp_port.h"

namespace {

class PollShell : public LinkShell {
  public:
    EventPort& Loop() override { return m_loop; }
    TcpPort& Tcp() override { return m_tcp; }
    bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds within) override {
        const auto until = EventPort::Clock::now() + within;
        while (!done()) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(until - EventPort::Clock::now());
            if (left.count() <= 0) {
                return false;
            }
            m_loop.RunOnce(std::min(left, std::chrono::milliseconds(5)));
        }
        return true;
    }

  private:
    PollLoop m_loop;
    PollTcpPort m_tcp{m_loop};
};

}  // namespace

std::vector<ShellMaker> Shells() {
    return {{"Poll", [] { return std::make_unique<PollShell>(); }}};
}
