#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "dialog_template.h"

// The window as the panel's behaviour sees it: the controls of a dialog built from a template,
// each found by its control id, and what a dialog platform does besides (message boxes, ending
// the dialog, a modal child dialog, the shell's own windows). Each shell implements it on its
// toolkit (Qt on Linux, Win32 on Windows); the tests implement it as a recording dialog. Texts
// are UTF-8. Everything runs on the window's thread.

enum class MessageIcon { None, Warning };

struct ListColumn {
    const char* heading;
    int width;  // pixels
};

using ListRow = std::vector<std::string>;

class DialogPanel;

class DialogPort {
  public:
    virtual ~DialogPort() = default;

    // ---- a control, by id ----
    // The caption of a button, check box or label; the text of a field or report; the typed
    // text of a combo box.
    virtual std::string Text(int id) const = 0;
    virtual void SetText(int id, const std::string& text) = 0;
    virtual bool IsEnabled(int id) const = 0;
    virtual void Enable(int id, bool enabled) = 0;
    virtual bool IsChecked(int id) const = 0;
    virtual void SetChecked(int id, bool checked) = 0;
    virtual bool IsShown(int id) const = 0;
    virtual void Show(int id, bool shown) = 0;
    // The control with the keyboard focus; kNoId when none of the dialog's has it.
    virtual int Focus() const = 0;
    virtual void SetFocus(int id) = 0;
    // Selects the whole text of a field.
    virtual void SelectText(int id) = 0;

    // ---- combo boxes ----
    virtual void AddComboItem(int id, const std::string& text) = 0;
    virtual int ComboCount(int id) const = 0;
    virtual std::string ComboItem(int id, int index) const = 0;
    virtual void SetComboSelection(int id, int index) = 0;
    // The selected item: -1 when none is, or when the typed text is not the selected item's.
    virtual int ComboSelection(int id) const = 0;

    // ---- list views ----
    virtual void SetListColumns(int id, std::span<const ListColumn> columns) = 0;
    virtual void SetListRows(int id, const std::vector<ListRow>& rows) = 0;
    virtual int ListRowCount(int id) const = 0;
    virtual std::string ListCell(int id, int row, int column) const = 0;
    // The first selected row; -1 when none is.
    virtual int SelectedListRow(int id) const = 0;

    // ---- the dialog ----
    // The running program's name, which every message box has for its caption.
    virtual std::string ProgramName() const = 0;
    // A message box with one OK button, modal over the dialog; returns once it is answered.
    virtual void ShowMessageBox(const std::string& text, const std::string& caption,
                                MessageIcon icon) = 0;
    // Ends the dialog's modal run with `result`.
    virtual void EndDialog(int result) = 0;
    // Builds a dialog from the template over this one, hands it to `child` (OnInitDialog) and
    // runs it modally: returns the result it was ended with.
    virtual int RunModal(const DialogTemplate& dialogTemplate, DialogPanel& child) = 0;

    // ---- the shell's own windows ----
    virtual void ShowAbout() = 0;
    // The traffic monitor; unitInUse tells it the address requests go to.
    virtual void ShowTraffic(std::function<std::uint8_t()> unitInUse) = 0;
    virtual void ShowHelp() = 0;
};

// A dialog's behaviour: what the shell tells it, on the window's thread.
class DialogPanel {
  public:
    virtual ~DialogPanel() = default;
    // The dialog's controls exist: the panel fills them. Called once per showing.
    virtual void OnInitDialog(DialogPort& port) = 0;
    // A click on the button with control id `id` (Enter on the default button included).
    virtual void OnCommand(int id) = 0;
    // Escape, or the close box.
    virtual void OnCancel() = 0;
    // A click in a list view, after the list has taken its new selection.
    virtual void OnListClick(int /*id*/) {}
    // F1.
    virtual void OnHelp() {}
    // A command of the window menu (the context menu's About).
    virtual void OnSysCommand(unsigned /*id*/) {}
    // The context menu's Traffic.
    virtual void OnTraffic() {}
};

// A message box captioned with the program's name, as every box of the panel is.
inline void ShowMessage(DialogPort& port, const std::string& text, MessageIcon icon) {
    port.ShowMessageBox(text, port.ProgramName(), icon);
}
