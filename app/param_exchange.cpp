// The "Advanced" button: the dialog over a copy of the parameter block, then the write of the
// block on the active link and its read on the TCP link.
#include <QPushButton>
#include <QTimer>

#include "advanced_dlg.h"
#include "device_params.h"
#include "kestrel_dlg.h"
#include "message_box.h"

namespace {
constexpr unsigned long kWritePauseMs = 100;
constexpr unsigned long kReadAfterWritePauseMs = 200;

// Why the block cannot be written back to the module it was read from, or an empty text when
// it can. The dialog is modal but the links are not: the module may close the TCP connection or
// the COM port may hang up while the operator types, and the link flag then falls back to TCP,
// where another module may be listening.
QString UnwritableReason(const CKestrelDlg& window, ParamOrigin originAtOpen) {
    const ParamOrigin current = window.CurrentLinkOrigin();
    if (current == ParamOrigin::Serial && !window.SerialPort().IsOpen()) {
        return QStringLiteral("The COM port is closed: the parameters were not written");
    }
    const bool linkUp = current == ParamOrigin::Serial || window.Socket() != nullptr;
    if (linkUp && originAtOpen == current && window.ParamBlockOrigin() == originAtOpen) {
        return {};
    }
    if (originAtOpen == ParamOrigin::Serial) {
        return QStringLiteral("The COM port was lost: the parameters were not written");
    }
    return QStringLiteral("The TCP link is closed: the parameters were not written");
}
}  // namespace

// The block is written only to the module it was read from, on the link it came by. The write
// goes on after this returns, paced by a timer (WriteDeviceParams).
void CKestrelDlg::OnAdvanced() {
    const ParamOrigin originAtOpen = m_paramOrigin;
    m_dlgAdvanced->m_params = g_DeviceParams;
    if (m_dlgAdvanced->DoModal(this) != CAdvancedDlg::IDOK) {
        return;
    }
    if (const QString reason = UnwritableReason(*this, originAtOpen); !reason.isEmpty()) {
        AppendReport(reason);
        return;
    }
    g_DeviceParams = m_dlgAdvanced->m_params;
    WriteDeviceParams();
}

ParamOrigin CKestrelDlg::CurrentLinkOrigin() const {
    return m_bNetworkLink != 0 ? ParamOrigin::Tcp : ParamOrigin::Serial;
}

void CKestrelDlg::KeepParamBlock(ParamOrigin origin) {
    m_paramOrigin = origin;
    EnableControl(m_btnAdvanced, origin == CurrentLinkOrigin());
}

void CKestrelDlg::ForgetParamBlock() {
    g_DeviceParams = DeviceParams{};
    m_paramOrigin = ParamOrigin::None;
    EnableControl(m_btnAdvanced, false);
}

// Four register writes 100 ms apart on the link in use, then (WriteNextParam, FinishParamWrite,
// ReadBackParams) on the serial link the completion box, 100 ms, and the port closed; then the
// block is forgotten and, 200 ms later, read again. The pauses are timers: the window repaints
// meanwhile and takes no other command. On the serial link the frames go out even with the port
// closed (and are lost), as every write of a closed port.
void CKestrelDlg::WriteDeviceParams() {
    RequestLink& link = ActiveLink();
    m_paramLink = &link;
    m_paramFramesSent = 0;
    m_paramFrames.clear();
    if (m_bNetworkLink == 0 || link.Ready()) {
        m_paramFrames = ParamWriteFrames(g_DeviceParams, m_byAddress, link.LinkFraming());
    }
    BeginOperation(QStringLiteral("Writing parameters..."));
    WriteNextParam();
}

void CKestrelDlg::PauseParamWrite(unsigned long ms, std::function<void()> then) {
    m_afterParamPause = std::move(then);
    m_paramPause->start(static_cast<int>(ms));
}

void CKestrelDlg::WriteNextParam() {
    if (m_paramFramesSent == m_paramFrames.size()) {
        FinishParamWrite();
        return;
    }
    // The link went away between two writes: the rest would go nowhere, or to another module.
    if (m_paramFramesSent > 0 && !m_paramLink->Ready()) {
        AppendReport(QStringLiteral("The link was lost after %1 of %2 parameter writes")
                         .arg(m_paramFramesSent)
                         .arg(m_paramFrames.size()));
        ReadBackParams();
        return;
    }
    ShowOperationStatus(QStringLiteral("Writing parameters %1 of %2...")
                            .arg(m_paramFramesSent + 1)
                            .arg(m_paramFrames.size()));
    SendOnLink(m_paramFrames[m_paramFramesSent++]);
    if (m_paramFramesSent < m_paramFrames.size()) {
        PauseParamWrite(kWritePauseMs, [this] { WriteNextParam(); });
    } else {
        FinishParamWrite();
    }
}

// A real serial module takes its new settings when restarted: the port is closed for that.
void CKestrelDlg::FinishParamWrite() {
    if (m_paramLink != &static_cast<RequestLink&>(m_serialLink)) {
        ReadBackParams();
        return;
    }
    KestrelMessageBox(this, QStringLiteral("Set complete!please reboot device!"),
                      MessageIcon::None);
    PauseParamWrite(kWritePauseMs, [this] {
        if (m_serialLink.IsOpen()) {  // a port lost meanwhile stays closed
            OnSerialOpen();
        }
        ReadBackParams();
    });
}

// The module answers the read that follows with the block it now holds; until it does, there is
// no block to show or write.
void CKestrelDlg::ReadBackParams() {
    ForgetParamBlock();
    PauseParamWrite(kReadAfterWritePauseMs, [this] {
        EndOperation();
        ReadDeviceParams();  // in RTU framing it holds the window until its second read
    });
}
