#include "kestrel_app.h"

#include <QApplication>
#include <QSocketNotifier>
#include <csignal>

#include "kestrel_dlg.h"
#include "trace.h"

#ifdef _WIN32
#include <winsock2.h>
#else
#include <unistd.h>
#endif

namespace {

// Windows wants its socket layer at version 1.1; elsewhere there is nothing to start, but a
// write to a socket whose peer has gone must never end the program.
bool InitSocketLayer() {
#ifdef _WIN32
    WSADATA data;
    if (WSAStartup(MAKEWORD(1, 1), &data) != 0) {
        return false;
    }
    if (data.wVersion != MAKEWORD(1, 1)) {
        WSACleanup();
        return false;
    }
    return true;
#else
    std::signal(SIGPIPE, SIG_IGN);
    return true;
#endif
}

#ifndef _WIN32
int g_signalPipe[2] = {-1, -1};

void OnTerminationSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const auto ignored = write(g_signalPipe[1], &byte, 1);
}

// SIGTERM and SIGINT close the window the way its close box does, so the links are released in
// order and the program ends normally.
void CloseOnTerminationSignals(QDialog& dialog) {
    if (pipe(g_signalPipe) != 0) {
        return;
    }
    auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, &dialog);
    QObject::connect(notifier, &QSocketNotifier::activated, &dialog,
                     [&dialog] { dialog.reject(); });
    std::signal(SIGTERM, OnTerminationSignal);
    std::signal(SIGINT, OnTerminationSignal);
}
#else
void CloseOnTerminationSignals(QDialog&) {}
#endif

}  // namespace

int CKestrelApp::InitInstance(int argc, char** argv) {
    if (!InitSocketLayer()) {
        return 0;
    }
    QApplication application(argc, argv);
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/kestrel.png")));
    CKestrelDlg dialog;
    CloseOnTerminationSignals(dialog);
    QMetaObject::invokeMethod(
        &dialog,
        [&dialog] { TraceNote("panel window shown: " + dialog.windowTitle().toStdString()); },
        Qt::QueuedConnection);
    dialog.exec();
    TraceNote("panel window closed");
    return 0;
}
