// The TCP link's tests (tests/link) on the Windows shell: the message loop and Winsock.
#include "link_shell.h"
#include "win_event_port.h"
#include "winsock_tcp_port.h"

namespace {

class Win32Shell : public LinkShell {
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
    Win32EventPort m_loop;
    WinsockTcpPort m_tcp{m_loop};
};

}  // namespace

std::vector<ShellMaker> Shells() {
    return {{"Win32", [] { return std::make_unique<Win32Shell>(); }}};
}
