// The "Advanced" button: the dialog over a copy of the parameter block, then the write of the
// block on the active link and its read on the TCP link.
#include <QThread>

#include "advanced_dlg.h"
#include "device_params.h"
#include "kestrel_dlg.h"
#include "message_box.h"
#include "modbus_socket.h"

namespace {
constexpr unsigned long kWritePauseMs = 100;
constexpr unsigned long kReadAfterWritePauseMs = 200;
}  // namespace

void CKestrelDlg::OnAdvanced() {
    m_dlgAdvanced->m_params = g_DeviceParams;
    if (m_dlgAdvanced->DoModal(this) != CAdvancedDlg::IDOK) {
        return;
    }
    if (m_bNetworkLink == 0 && !m_SerialPort.IsOpen()) {
        AppendReport(QStringLiteral("The COM port is closed: the parameters were not written"));
        return;
    }
    g_DeviceParams = m_dlgAdvanced->m_params;
    WriteDeviceParams();
    g_DeviceParams = DeviceParams{};
    QThread::msleep(kReadAfterWritePauseMs);
    ReadDeviceParams();
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
