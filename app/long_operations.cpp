// The window while a long operation runs (a search, the paced parameter write): the operation
// works on another thread or on timers, so the window goes on repainting; it shows what the
// operation is doing, and its buttons are held disabled until the operation ends.
#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include "kestrel_dlg.h"

void CKestrelDlg::BeginOperation(const QString& status) {
    m_operationRunning = true;
    QWidget* focus = QApplication::focusWidget();
    m_focusBeforeOperation = isAncestorOf(focus) ? focus : nullptr;
    for (auto* button : findChildren<QPushButton*>(Qt::FindDirectChildrenOnly)) {
        m_heldControls.emplace_back(button, button->isEnabled());
        button->setEnabled(false);
    }
    ShowOperationStatus(status);
}

void CKestrelDlg::ShowOperationStatus(const QString& status) {
    m_status->setText(status);
}

QString CKestrelDlg::OperationStatus() const {
    return m_status->text();
}

void CKestrelDlg::EndOperation() {
    for (const auto& [control, enabled] : std::exchange(m_heldControls, {})) {
        control->setEnabled(enabled);
    }
    m_operationRunning = false;
    m_status->clear();
    if (m_focusBeforeOperation && m_focusBeforeOperation->isEnabled()) {
        m_focusBeforeOperation->setFocus();
    }
    m_focusBeforeOperation = nullptr;
}

void CKestrelDlg::EnableControl(QWidget* control, bool enabled) {
    for (auto& [held, heldEnabled] : m_heldControls) {
        if (held == control) {
            heldEnabled = enabled;
            return;
        }
    }
    control->setEnabled(enabled);
}

// The window is closing: nothing of an operation under way may go on after it, and none is waited
// for. The paced write's pause stops, the serial search's read is cut short, and the network
// search is left to end its library call on its own thread (it holds nothing of the window).
void CKestrelDlg::EndOperationForClose() {
    m_paramPause->stop();
    m_afterParamPause = nullptr;
    m_deviceSearchTask.Leave();
    m_serialLink.EndSearch();
    if (m_operationRunning) {
        m_holdForParamRead = false;
        EndOperation();
    }
}
