#include "recording_dialog.h"

#include <stdexcept>

namespace {
constexpr int kIdCancel = 2;
}  // namespace

RecordingDialog::RecordingDialog(const DialogTemplate& dialogTemplate) {
    for (const ItemTemplate& item : dialogTemplate.items) {
        if (item.id == kNoId) {
            continue;
        }
        Control control;
        control.kind = item.kind;
        control.text = item.caption ? item.caption : "";
        control.enabled = (item.state & kDisabled) == 0;
        m_controls[item.id] = control;
    }
}

void RecordingDialog::Attach(DialogPanel& panel) {
    m_panel = &panel;
    panel.OnInitDialog(*this);
}

RecordingDialog::Control& RecordingDialog::Item(int id) {
    const auto found = m_controls.find(id);
    if (found == m_controls.end()) {
        throw std::out_of_range("no control " + std::to_string(id));
    }
    return found->second;
}

const RecordingDialog::Control& RecordingDialog::At(int id) const {
    return const_cast<RecordingDialog*>(this)->Item(id);
}

void RecordingDialog::Click(int id) {
    if (At(id).enabled && At(id).shown) {
        m_panel->OnCommand(id);
    }
}

void RecordingDialog::Type(int id, const std::string& text) {
    Item(id).text = text;
    Item(id).textSelected = false;
}

void RecordingDialog::Choose(int id, int index) {
    SetComboSelection(id, index);
}

void RecordingDialog::ClickRow(int id, int row) {
    Item(id).selectedRow = row;
    m_panel->OnListClick(id);
}

void RecordingDialog::Escape() {
    m_panel->OnCancel();
}

void RecordingDialog::SetText(int id, const std::string& text) {
    Item(id).text = text;
}

std::string RecordingDialog::ComboItem(int id, int index) const {
    return At(id).items.at(static_cast<std::size_t>(index));
}

void RecordingDialog::SetComboSelection(int id, int index) {
    Control& combo = Item(id);
    const bool valid = index >= 0 && index < static_cast<int>(combo.items.size());
    combo.selection = valid ? index : -1;
    combo.text = valid ? combo.items[static_cast<std::size_t>(index)] : "";
}

int RecordingDialog::ComboSelection(int id) const {
    const Control& combo = At(id);
    if (combo.selection < 0 ||
        combo.text != combo.items[static_cast<std::size_t>(combo.selection)]) {
        return -1;
    }
    return combo.selection;
}

void RecordingDialog::SetListRows(int id, const std::vector<ListRow>& rows) {
    Item(id).rows = rows;
    Item(id).selectedRow = -1;
}

std::string RecordingDialog::ListCell(int id, int row, int column) const {
    return At(id).rows.at(static_cast<std::size_t>(row)).at(static_cast<std::size_t>(column));
}

void RecordingDialog::ShowMessageBox(const std::string& text, const std::string& caption,
                                     MessageIcon icon) {
    messages.push_back({text, caption, icon});
}

// The child ends as its script leaves it; one left open is cancelled, as closing it would.
int RecordingDialog::RunModal(const DialogTemplate& dialogTemplate, DialogPanel& child) {
    RecordingDialog window(dialogTemplate);
    window.Attach(child);
    if (!modalScripts.empty()) {
        const Script script = std::move(modalScripts.front());
        modalScripts.pop_front();
        script(window);
    }
    if (!window.m_ended) {
        window.Escape();
    }
    return window.m_ended.value_or(kIdCancel);
}
