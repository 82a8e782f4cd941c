// Drives the real panel executable from inside its own process, for tests that must run the
// executable itself (termination signals). Loaded with LD_PRELOAD, it follows the steps in
// KESTREL_TEST_DRIVE (separated by ';') once the main window is shown, and reports each step and
// every box, dialog or menu that opens on standard error:
//   click ID          clicks the button with this template id (in the dialog in front)
//   choose ID TEXT    selects TEXT in the combo box ID
//   type ID TEXT      puts TEXT in the edit field ID
//   wait-enabled ID   waits until control ID is enabled
//   wait-disabled ID  waits until control ID is disabled (held while an operation runs)
//   wait-path PATH    waits until PATH exists (the test has set something up)
//   menu              opens the window's context menu
//   pick              triggers the first entry of the open menu
// Lines: "drive: <step>" before a step runs, "drive: open <caption>: <text>" for a box,
// "drive: open <caption>" for a dialog, "drive: open menu" for a menu.
#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QFileInfo>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QTimer>
#include <cstdio>
#include <cstdlib>

namespace {

QStringList& Steps() {
    static QStringList steps;
    return steps;
}

void Say(const QString& line) {
    std::fputs(("drive: " + line + '\n').toUtf8().constData(), stderr);
    std::fflush(stderr);
}

QWidget* MainWindow() {
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (window->isVisible() &&
            window->findChild<QWidget*>(QStringLiteral("item1041")) != nullptr) {
            return window;
        }
    }
    return nullptr;
}

// Control ID of the dialog in front: the main window, or the dialog open over it.
QWidget* Control(QWidget* main, const QString& id) {
    QWidget* front = QApplication::activeModalWidget();
    return (front != nullptr ? front : main)->findChild<QWidget*>(QStringLiteral("item") + id);
}

QString OpenNow() {
    if (QApplication::activePopupWidget() != nullptr) {
        return QStringLiteral("menu");
    }
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr || modal == MainWindow()) {
        return {};
    }
    if (auto* box = qobject_cast<QMessageBox*>(modal)) {
        return box->windowTitle() + ": " + box->text();
    }
    return modal->windowTitle();
}

// Runs one step, or returns false when it cannot run yet.
bool Run(QWidget* main, const QStringList& words) {
    const QString& verb = words.value(0);
    QWidget* control = words.size() > 1 ? Control(main, words[1]) : nullptr;
    const QString text = words.mid(2).join(' ');
    if (verb == "wait-enabled" || verb == "wait-disabled") {
        return control != nullptr && control->isEnabled() == (verb == "wait-enabled");
    }
    if (verb == "wait-path") {
        return QFileInfo::exists(words.value(1));
    }
    if (verb == "pick") {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (menu == nullptr || menu->actions().isEmpty()) return false;
        QTimer::singleShot(0, menu->actions().first(), &QAction::trigger);
        return true;
    }
    QTimer::singleShot(0, main, [main, control, verb, text] {
        auto* button = qobject_cast<QAbstractButton*>(control);
        auto* combo = qobject_cast<QComboBox*>(control);
        auto* edit = qobject_cast<QLineEdit*>(control);
        if (verb == "menu") {
            QContextMenuEvent event(QContextMenuEvent::Keyboard, QPoint(10, 10),
                                    main->mapToGlobal(QPoint(10, 10)));
            QApplication::sendEvent(main, &event);
        } else if (verb == "click" && button != nullptr) {
            button->click();
        } else if (verb == "choose" && combo != nullptr) {
            combo->setCurrentIndex(combo->findText(text));
        } else if (verb == "type" && edit != nullptr) {
            edit->setText(text);
        } else {
            Say("cannot run: " + verb);
        }
    });
    return true;
}

void Tick() {
    static QString reported;
    const QString open = OpenNow();
    if (open != reported && !open.isEmpty()) {
        Say("open " + open);
    }
    reported = open;
    QWidget* main = MainWindow();
    if (main == nullptr || Steps().isEmpty()) {
        return;
    }
    const QStringList words = Steps().first().split(' ', Qt::SkipEmptyParts);
    if (Run(main, words)) {
        Say(Steps().takeFirst());
    }
}

void StartDriving() {
    Steps() = QString::fromUtf8(std::getenv("KESTREL_TEST_DRIVE")).split(';', Qt::SkipEmptyParts);
    auto* timer = new QTimer(QCoreApplication::instance());
    QObject::connect(timer, &QTimer::timeout, Tick);
    timer->start(20);
}

}  // namespace

Q_COREAPP_STARTUP_FUNCTION(StartDriving)
