#pragma once

#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "dialog_port.h"

// A dialog with no toolkit for the panel's tests: every control of the template keeps its state
// readable by id, every message box is recorded (and answered at once), and a modal child runs
// in-line with the next script the test queued. Clicks on a disabled button are lost, as on a
// real window.
class RecordingDialog : public DialogPort {
  public:
    struct Control {
        ItemKind kind = ItemKind::Label;
        std::string text;
        bool enabled = true;
        bool checked = false;
        bool shown = true;
        bool textSelected = false;
        std::vector<std::string> items;  // a combo box's
        int selection = -1;
        std::vector<ListRow> rows;  // a list view's
        int selectedRow = -1;
    };
    struct Message {
        std::string text;
        std::string caption;
        MessageIcon icon;
    };
    using Script = std::function<void(RecordingDialog& child)>;

    explicit RecordingDialog(const DialogTemplate& dialogTemplate);

    // The panel the commands go to; it is told OnInitDialog.
    void Attach(DialogPanel& panel);

    // ---- the operator ----
    void Click(int id);
    void Type(int id, const std::string& text);
    void Choose(int id, int index);
    void ClickRow(int id, int row);
    void Escape();

    // ---- what the test reads ----
    const Control& At(int id) const;
    std::optional<int> Ended() const { return m_ended; }
    std::vector<Message> messages;
    std::deque<Script> modalScripts;  // one for each modal child, in order
    int aboutShown = 0;
    int trafficShown = 0;
    int helpShown = 0;

    // ---- DialogPort ----
    std::string Text(int id) const override { return At(id).text; }
    void SetText(int id, const std::string& text) override;
    bool IsEnabled(int id) const override { return At(id).enabled; }
    void Enable(int id, bool enabled) override { Item(id).enabled = enabled; }
    bool IsChecked(int id) const override { return At(id).checked; }
    void SetChecked(int id, bool checked) override { Item(id).checked = checked; }
    bool IsShown(int id) const override { return At(id).shown; }
    void Show(int id, bool shown) override { Item(id).shown = shown; }
    int Focus() const override { return m_focus; }
    void SetFocus(int id) override { m_focus = id; }
    void SelectText(int id) override { Item(id).textSelected = true; }
    void AddComboItem(int id, const std::string& text) override { Item(id).items.push_back(text); }
    int ComboCount(int id) const override { return static_cast<int>(At(id).items.size()); }
    std::string ComboItem(int id, int index) const override;
    void SetComboSelection(int id, int index) override;
    int ComboSelection(int id) const override;
    void SetListColumns(int, std::span<const ListColumn>) override {}
    void SetListRows(int id, const std::vector<ListRow>& rows) override;
    int ListRowCount(int id) const override { return static_cast<int>(At(id).rows.size()); }
    std::string ListCell(int id, int row, int column) const override;
    int SelectedListRow(int id) const override { return At(id).selectedRow; }
    std::string ProgramName() const override { return "kestrel"; }
    void ShowMessageBox(const std::string& text, const std::string& caption,
                        MessageIcon icon) override;
    void EndDialog(int result) override { m_ended = result; }
    int RunModal(const DialogTemplate& dialogTemplate, DialogPanel& child) override;
    void ShowAbout() override { ++aboutShown; }
    void ShowTraffic(std::function<std::uint8_t()>) override { ++trafficShown; }
    void ShowHelp() override { ++helpShown; }

  private:
    Control& Item(int id);

    std::map<int, Control> m_controls;
    DialogPanel* m_panel = nullptr;
    int m_focus = kNoId;
    std::optional<int> m_ended;
};
