#include "modal_driver.h"

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <memory>

#include "template_dialog.h"

namespace {

constexpr int kTickMs = 5;
constexpr int kPatienceTicks = 2000;  // ten seconds for the dialog to open

struct Drive {
    std::vector<ModalStep> steps;
    std::size_t next = 0;
    int idleTicks = 0;
    bool started = false;
    QPointer<CTemplateDialog> dialog;
};

// One turn: find the dialog, run one step, or finish. False when the drive is over.
bool Advance(Drive& drive) {
    auto* modal = qobject_cast<CTemplateDialog*>(QApplication::activeModalWidget());
    if (!drive.started) {
        if (!modal) {
            return ++drive.idleTicks < kPatienceTicks;
        }
        drive.dialog = modal;
        drive.started = true;
    }
    if (!drive.dialog || !drive.dialog->isVisible()) {
        return false;  // closed by a step
    }
    if (modal != drive.dialog) {
        return true;  // a dialog of its own is up over it
    }
    if (drive.next < drive.steps.size()) {
        drive.steps[drive.next++](*drive.dialog);
        return true;
    }
    drive.dialog->reject();
    return false;
}

}  // namespace

void DriveNextModal(std::vector<ModalStep> steps) {
    auto drive = std::make_shared<Drive>();
    drive->steps = std::move(steps);
    auto* timer =
        new QTimer(QCoreApplication::instance());  // gone with the application at the latest
    timer->setInterval(kTickMs);
    QObject::connect(timer, &QTimer::timeout, [timer, drive] {
        if (!Advance(*drive)) {
            timer->stop();
            timer->deleteLater();
        }
    });
    timer->start();
}

QString FieldText(const CTemplateDialog& dialog, int id) {
    if (auto* edit = dialog.Item<QLineEdit>(id)) {
        return edit->text();
    }
    if (auto* combo = dialog.Item<QComboBox>(id)) {
        return combo->currentText();
    }
    return {};
}

void Type(CTemplateDialog& dialog, int id, const QString& text) {
    auto* edit = dialog.Item<QLineEdit>(id);
    edit->setFocus();
    edit->selectAll();
    edit->insert(text);
}

void Click(CTemplateDialog& dialog, int id) {
    dialog.Item<QPushButton>(id)->click();
}

void Choose(CTemplateDialog& dialog, int id, int index) {
    dialog.Item<QComboBox>(id)->setCurrentIndex(index);
}
