// The window while a long operation runs (a search, the paced parameter write): the operation
// works on another thread or on timers, so the window goes on repainting; it shows what the
// operation is doing, and its buttons are held disabled until the operation ends.
#include <algorithm>

#include "kestrel_dlg.h"
#include "main_template.h"

void CKestrelDlg::BeginOperation(const std::string& status) {
    m_operationRunning = true;
    m_focusBeforeOperation = Port().Focus();
    for (const ItemTemplate& item : kMainItems) {
        if (item.kind == ItemKind::PushButton || item.kind == ItemKind::DefPushButton) {
            m_heldControls.emplace_back(item.id, Port().IsEnabled(item.id));
            Port().Enable(item.id, false);
        }
    }
    ShowOperationStatus(status);
}

void CKestrelDlg::ShowOperationStatus(const std::string& status) {
    Port().SetText(IDC_STATUS, status);
}

void CKestrelDlg::EndOperation() {
    for (const auto& [control, enabled] : std::exchange(m_heldControls, {})) {
        Port().Enable(control, enabled);
    }
    m_operationRunning = false;
    Port().SetText(IDC_STATUS, "");
    const int focus = std::exchange(m_focusBeforeOperation, kNoId);
    if (focus != kNoId && Port().IsEnabled(focus)) {
        Port().SetFocus(focus);
    }
}

void CKestrelDlg::EnableControl(int id, bool enabled) {
    for (auto& [held, heldEnabled] : m_heldControls) {
        if (held == id) {
            heldEnabled = enabled;
            return;
        }
    }
    Port().Enable(id, enabled);
}

// The window is closing: nothing of an operation under way may go on after it, and none is waited
// for. The paced write's pause stops, the serial search's read is cut short, and the network
// search is left to end its library call on its own thread (it holds nothing of the window).
void CKestrelDlg::EndOperationForClose() {
    m_paramWrite.Stop();
    m_deviceSearchTask.Leave();
    m_serialLink.EndSearch();
    if (m_operationRunning) {
        m_holdForParamRead = false;
        EndOperation();
    }
}
