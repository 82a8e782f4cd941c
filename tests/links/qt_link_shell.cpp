// The conversation's tests on the Qt shell: Qt's event loop and sockets.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <csignal>

#include "link_shell.h"
#include "qt_event_port.h"
#include "qt_tcp_port.h"

namespace {

class QtShell : public LinkShell {
  public:
    EventPort& Loop() override { return m_loop; }
    TcpPort& Tcp() override { return m_tcp; }
    bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds within) override {
        QElapsedTimer clock;
        clock.start();
        while (!done()) {
            if (clock.elapsed() >= within.count()) {
                return false;
            }
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        }
        return true;
    }

  private:
    QtEventPort m_loop;
    QtTcpPort m_tcp;
};

}  // namespace

std::vector<ShellMaker> Shells() {
    return {{"Qt", [] { return std::make_unique<QtShell>(); }}};
}

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication application(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
