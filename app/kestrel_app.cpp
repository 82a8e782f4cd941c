#include "kestrel_app.h"

#include <QApplication>
#include <QSocketNotifier>
#include <csignal>

#include "kestrel_window.h"
#include "serial_port.h"
#include "trace.h"

#ifdef _WIN32
#include <winsock2.h>
#else
#include <fcntl.h>
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
// A COM port write or read that waits (the paced write's on this thread, the serial search's on
// its own) returns at once, so the window's thread gets to the pipe within milliseconds.
void OnTerminationSignal(int) {
    CSerialPort::EndAllWaits();
    const char byte = 1;
    [[maybe_unused]] const auto ignored = write(g_signalPipe[1], &byte, 1);  // full: one is enough
}

void DrainSignalPipe() {
    char bytes[64];
    while (read(g_signalPipe[0], bytes, sizeof bytes) > 0) {
    }
}

// Every box, dialog and menu open over the window is dismissed as its own Cancel or Escape would,
// and every event loop, nested ones included, is told to end; a loop that starts after this ends
// at once. The window itself is closed once its own loop has returned (see InitInstance), so no
// handler still on the stack finds its link gone.
void EndEveryLoop(const QDialog& mainWindow) {
    DrainSignalPipe();
    for (QWidget* popup = QApplication::activePopupWidget(); popup != nullptr;) {
        popup->close();
        QWidget* next = QApplication::activePopupWidget();
        popup = next == popup ? nullptr : next;
    }
    for (QWidget* window : QApplication::topLevelWidgets()) {
        auto* dialog = qobject_cast<QDialog*>(window);
        if (dialog != nullptr && dialog != &mainWindow && dialog->isVisible()) {
            dialog->reject();
        }
    }
    QCoreApplication::exit(0);
}

// SIGTERM and SIGINT end the program whatever is open, and close the window the way its close
// box does, so the links are released in order and the program ends normally.
void CloseOnTerminationSignals(QDialog& dialog) {
    if (pipe2(g_signalPipe, O_NONBLOCK | O_CLOEXEC) != 0) {
        return;
    }
    auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, &dialog);
    QObject::connect(notifier, &QSocketNotifier::activated, &dialog,
                     [&dialog] { EndEveryLoop(dialog); });
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
    KestrelWindow dialog;
    CloseOnTerminationSignals(dialog);
    QMetaObject::invokeMethod(
        &dialog,
        [&dialog] { TraceNote("panel window shown: " + dialog.windowTitle().toStdString()); },
        Qt::QueuedConnection);
    dialog.exec();
    if (dialog.isVisible()) {  // ended by a termination signal rather than by the window itself
        dialog.reject();
    }
    TraceNote("panel window closed");
    return 0;
}
