// The "Advanced" button: the dialog over a copy of the parameter block, then the write of the
// block on the active link and its read on the TCP link.
#include <QPushButton>
#include <QThread>

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

// The block is written only to the module it was read from, on the link it came by.
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
    // The module answers the read that follows with the block it now holds; until it does,
    // there is no block to show or write.
    ForgetParamBlock();
    QThread::msleep(kReadAfterWritePauseMs);
    ReadDeviceParams();
}

ParamOrigin CKestrelDlg::CurrentLinkOrigin() const {
    return m_bNetworkLink != 0 ? ParamOrigin::Tcp : ParamOrigin::Serial;
}

void CKestrelDlg::KeepParamBlock(ParamOrigin origin) {
    m_paramOrigin = origin;
    m_btnAdvanced->setEnabled(origin == CurrentLinkOrigin());
}

void CKestrelDlg::ForgetParamBlock() {
    g_DeviceParams = DeviceParams{};
    m_paramOrigin = ParamOrigin::None;
    m_btnAdvanced->setEnabled(false);
}

// On the serial link the frames go out even with the port closed (and are lost), as every write
// of a closed port.
void CKestrelDlg::WriteDeviceParams() {
    RequestLink& link = ActiveLink();
    if (m_bNetworkLink != 0 && !link.Ready()) {
        return;
    }
    const auto frames = ParamWriteFrames(g_DeviceParams, m_byAddress, link.LinkFraming());
    for (std::size_t n = 0; n < frames.size(); ++n) {
        SendOnLink(frames[n]);
        if (n + 1 < frames.size()) {
            QThread::msleep(kWritePauseMs);
        }
    }
    if (m_bNetworkLink == 0) {
        KestrelMessageBox(this, QStringLiteral("Set complete!please reboot device!"),
                          MessageIcon::None);
        QThread::msleep(kWritePauseMs);
        OnSerialOpen();
    }
}
