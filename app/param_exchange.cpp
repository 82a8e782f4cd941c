// The "Advanced" button: the dialog over a copy of the parameter block, then the write of the
// block on the active link and its read on the TCP link.
#include <QPushButton>
#include <QThread>

#include "advanced_dlg.h"
#include "device_params.h"
#include "kestrel_dlg.h"
#include "message_box.h"
#include "modbus_socket.h"

namespace {
constexpr unsigned long kWritePauseMs = 100;
constexpr unsigned long kReadAfterWritePauseMs = 200;

// Why the block cannot be written on the link that was in use when the dialog opened, or an
// empty text when it can. The dialog is modal but the links are not: the module may close the
// TCP connection or the COM port may hang up while the operator types, and the link flag then
// falls back to TCP, where another module may be listening.
QString UnwritableReason(const CKestrelDlg& window, std::uint8_t linkAtOpen) {
    if (window.m_bNetworkLink == 0 && !window.m_SerialPort.IsOpen()) {
        return QStringLiteral("The COM port is closed: the parameters were not written");
    }
    if (window.m_bNetworkLink != linkAtOpen) {
        return QStringLiteral("The COM port was lost: the parameters were not written");
    }
    if (window.m_bNetworkLink != 0 && !window.m_pSocket) {
        return QStringLiteral("The TCP link is closed: the parameters were not written");
    }
    return {};
}
}  // namespace

void CKestrelDlg::OnAdvanced() {
    const std::uint8_t linkAtOpen = m_bNetworkLink;
    m_dlgAdvanced->m_params = g_DeviceParams;
    if (m_dlgAdvanced->DoModal(this) != CAdvancedDlg::IDOK) {
        return;
    }
    if (const QString reason = UnwritableReason(*this, linkAtOpen); !reason.isEmpty()) {
        AppendReport(reason);
        return;
    }
    g_DeviceParams = m_dlgAdvanced->m_params;
    WriteDeviceParams();
    g_DeviceParams = DeviceParams{};
    QThread::msleep(kReadAfterWritePauseMs);
    ReadDeviceParams();
}

void CKestrelDlg::KeepParamBlock(ParamOrigin origin) {
    m_paramOrigin = origin;
    const ParamOrigin current = m_bNetworkLink != 0 ? ParamOrigin::Tcp : ParamOrigin::Serial;
    m_btnAdvanced->setEnabled(origin == current);
}

void CKestrelDlg::ForgetParamBlock() {
    g_DeviceParams = DeviceParams{};
    m_paramOrigin = ParamOrigin::None;
    m_btnAdvanced->setEnabled(false);
}

void CKestrelDlg::WriteDeviceParams() {
    if (m_bNetworkLink != 0 && !m_pSocket) {
        return;
    }
    const Framing framing = m_bNetworkLink != 0 ? SelectedFraming() : Framing::ModbusRtu;
    const auto frames = ParamWriteFrames(g_DeviceParams, m_byAddress, framing);
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
