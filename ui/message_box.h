#pragma once

#include <QString>
#include <functional>

class QWidget;

enum class MessageIcon { None, Warning };

// Every message box of the program: the program's name as caption, one OK button, with or
// without the warning icon, modal over its owner.
struct ShownMessage {
    QString caption;
    QString text;
    MessageIcon icon;
    QWidget* owner;
};

void KestrelMessageBox(QWidget* owner, const QString& text, MessageIcon icon);

// The base name of the running executable, without folder and extension ("kestrel").
QString ApplicationName();

// Tests put a recorder here; while a hook is set no box is shown.
using MessageBoxHook = std::function<void(const ShownMessage&)>;
void SetMessageBoxHook(MessageBoxHook hook);
