#include "message_box.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QMessageBox>

namespace {
MessageBoxHook& Hook() {
    static MessageBoxHook hook;
    return hook;
}
}  // namespace

void SetMessageBoxHook(MessageBoxHook hook) {
    Hook() = std::move(hook);
}

QString ApplicationName() {
    return QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
}

void KestrelMessageBox(QWidget* owner, const QString& text, MessageIcon icon) {
    KestrelMessageBox(owner, text, ApplicationName(), icon);
}

void KestrelMessageBox(QWidget* owner, const QString& text, const QString& caption,
                       MessageIcon icon) {
    const ShownMessage message{caption, text, icon, owner};
    if (Hook()) {
        Hook()(message);
        return;
    }
    QMessageBox box(icon == MessageIcon::Warning ? QMessageBox::Warning : QMessageBox::NoIcon,
                    message.caption, text, QMessageBox::Ok, owner);
    box.exec();
}
