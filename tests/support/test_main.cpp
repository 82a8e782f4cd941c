// Widget tests run on Qt's offscreen platform, talk only to loopback, and record message boxes
// instead of showing them.
#include <gtest/gtest.h>

#include <QApplication>
#include <csignal>
#include <cstdlib>

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    setenv("KESTREL_DISCOVERY_SCOPE", "loopback", 1);
    std::signal(SIGPIPE, SIG_IGN);
    QApplication application(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
