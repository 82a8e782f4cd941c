#include "kestrel_app.h"

#include <QApplication>
#include <csignal>

#include "kestrel_window.h"
#include "qt_event_port.h"
#include "signal_watch.h"
#include "trace.h"

#ifdef _WIN32
#include <winsock2.h>
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

// Every box, dialog and menu open over the window is dismissed as its own Cancel or Escape would,
// and every event loop, nested ones included, is told to end; a loop that starts after this ends
// at once. The window itself is closed once its own loop has returned (see InitInstance), so no
// handler still on the stack finds its link gone.
void EndEveryLoop(const QDialog& mainWindow) {
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

}  // namespace

int CKestrelApp::InitInstance(int argc, char** argv) {
    if (!InitSocketLayer()) {
        return 0;
    }
    QApplication application(argc, argv);
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/kestrel.png")));
    KestrelWindow dialog;
    // SIGTERM and SIGINT end the program whatever is open, and close the window the way its
    // close box does, so the links are released in order and the program ends normally. A COM
    // port wait (the paced write's, the serial search's) is cut short by the watch at once.
    QtEventPort loop;
    const SignalWatch terminationWatch(loop, [&dialog](int) { EndEveryLoop(dialog); });
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
