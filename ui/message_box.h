#pragma once

#include <QString>
#include <functional>

#include "dialog_port.h"

class QWidget;

// Every message box of the program: the program's name as caption, one OK button, with or
// without the warning icon, modal over its owner.
struct ShownMessage {
    QString caption;
    QString text;
    MessageIcon icon;
    QWidget* owner;
};

void KestrelMessageBox(QWidget* owner, const QString& text, MessageIcon icon);
void KestrelMessageBox(QWidget* owner, const QString& text, const QString& caption,
                       MessageIcon icon);

// The base name of the running executable, without folder and extension ("kestrel").
QString ApplicationName();

// Tests put a recorder here; while a hook is set no box is shown.
using MessageBoxHook = std::function<void(const ShownMessage&)>;
void SetMessageBoxHook(MessageBoxHook hook);
