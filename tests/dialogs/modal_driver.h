#pragma once

#include <QDialog>
#include <QString>
#include <functional>
#include <vector>

class CTemplateDialog;

// One thing a test does to an open dialog, as an operator would: type, click, look.
using ModalStep = std::function<void(CTemplateDialog& dialog)>;

// Runs the steps on the next modal dialog that opens, one step per turn of the event loop, so
// what a click starts has settled before the next step looks. A dialog still open after the
// last step is cancelled, so no test is ever left waiting on it.
void DriveNextModal(std::vector<ModalStep> steps);

// Operator actions on a template dialog's controls.
QString FieldText(const CTemplateDialog& dialog, int id);
void Type(CTemplateDialog& dialog, int id, const QString& text);
void Click(CTemplateDialog& dialog, int id);
// Selects a combo box item (-1: none) as a click in its list would.
void Choose(CTemplateDialog& dialog, int id, int index);
