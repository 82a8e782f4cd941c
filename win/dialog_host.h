#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "dialog_port.h"

// The Win32 shell of a dialog: a dialog built from a template with the system's own controls
// (an in-memory dialog template made from the same rows the other shells lay out), as the
// panel's DialogPort. Dialog units become pixels through the dialog font, as for any dialog
// resource; the tab order is the template order. A control without a caption is named for
// assistive technology by its template name (its window text where it shows none); its control
// id is what UI Automation reports as its automation id.
class DialogHost : public DialogPort {
  public:
    explicit DialogHost(const DialogTemplate& dialogTemplate);
    ~DialogHost() override;
    DialogHost(const DialogHost&) = delete;
    DialogHost& operator=(const DialogHost&) = delete;

    // The behaviour the dialog's commands go to; told OnInitDialog when the window is made.
    void SetPanel(DialogPanel* panel) { m_panel = panel; }
    DialogPanel* Panel() const { return m_panel; }

    // Makes the window over `owner` and runs it modally: the result it was ended with.
    int Run(HWND owner);
    HWND Handle() const { return m_hwnd; }
    HWND Item(int id) const;
    // F1 in a dialog of ours goes to its panel: true when it did.
    static bool OnHelpKey(const MSG& message);

    // ---- DialogPort ----
    std::string Text(int id) const override;
    void SetText(int id, const std::string& text) override;
    bool IsEnabled(int id) const override;
    void Enable(int id, bool enabled) override;
    bool IsChecked(int id) const override;
    void SetChecked(int id, bool checked) override;
    bool IsShown(int id) const override;
    void Show(int id, bool shown) override;
    int Focus() const override;
    void SetFocus(int id) override;
    void SelectText(int id) override;
    void AddComboItem(int id, const std::string& text) override;
    int ComboCount(int id) const override;
    std::string ComboItem(int id, int index) const override;
    void SetComboSelection(int id, int index) override;
    int ComboSelection(int id) const override;
    void SetListColumns(int id, std::span<const ListColumn> columns) override;
    void SetListRows(int id, const std::vector<ListRow>& rows) override;
    int ListRowCount(int id) const override;
    std::string ListCell(int id, int row, int column) const override;
    int SelectedListRow(int id) const override;
    std::string ProgramName() const override;
    void ShowMessageBox(const std::string& text, const std::string& caption,
                        MessageIcon icon) override;
    void EndDialog(int result) override;
    int RunModal(const DialogTemplate& dialogTemplate, DialogPanel& child) override;
    void ShowAbout() override {}
    void ShowTraffic(std::function<std::uint8_t()>) override {}
    void ShowHelp() override {}

  protected:
    // Styles of the shell's own for a control, on top of its kind's; before Run.
    void AddItemStyle(int id, DWORD style) { m_extraStyles[id] |= style; }
    // A message the dialog itself does not handle, and the controls' notifications (WM_COMMAND
    // other than a button's click) before the panel hears of them: true when handled.
    virtual bool OnMessage(UINT /*message*/, WPARAM /*wParam*/, LPARAM /*lParam*/) { return false; }

  private:
    static DialogHost* OfWindow(HWND hwnd);
    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR Handle(UINT message, WPARAM wParam, LPARAM lParam);
    void OnInit(HWND hwnd);
    void PutLabelsBeforeFields();
    static void ShowReport(HWND report, std::string& kept, const std::string& text);
    void OnCommandMessage(WPARAM wParam, LPARAM lParam);
    ItemKind KindOf(int id) const;

    const DialogTemplate& m_template;
    HWND m_hwnd = nullptr;
    DialogPanel* m_panel = nullptr;
    std::map<int, ItemKind> m_kinds;
    std::map<int, DWORD> m_extraStyles;
    std::map<int, std::string> m_reports;  // the exact text of each report, line ends included
};

// UTF-8 and the system's UTF-16.
std::wstring Wide(const std::string& utf8);
std::string Utf8(const std::wstring& wide);
