// The Connect/Disconnect toggle of the main window and the outcome of a connection attempt.
#include <QComboBox>
#include <QPushButton>
#include <QThread>

#include "device_params.h"
#include "kestrel_dlg.h"
#include "modbus_socket.h"

namespace {
constexpr unsigned long kRtuReadPauseMs = 200;
}

void CKestrelDlg::OnOK() {
    const bool fieldsTaken = UpdateData(true);
    if (m_pSocket) {
        DisconnectTcp();
        return;
    }
    if (!fieldsTaken) {
        return;  // the refusal has been shown; an attempt with the old values would surprise
    }
    m_pSocket = new CModbusSocket(this);
    if (!m_pSocket->Create()) {
        m_strReport = QString::fromUtf8("创建Socket失败!");
        UpdateData(false);
        m_pSocket->Close();
        m_pSocket->deleteLater();
        m_pSocket = nullptr;
        return;
    }
    connect(m_pSocket, &CModbusSocket::Connected, this, &CKestrelDlg::OnSocketConnect);
    connect(m_pSocket, &CModbusSocket::FrameReceived, this, &CKestrelDlg::DecodeNetworkReply);
    connect(m_pSocket, &CModbusSocket::ClosedByPeer, this, &CKestrelDlg::OnPeerClosed);
    m_pSocket->Connect(m_strIP, m_nPort);
    AppendReport(
        QStringLiteral("TCP client connectting %1:%2...").arg(m_strIP, QString::number(m_nPort)));
    m_btnConnect->setText(QStringLiteral("Disconnect"));
    UpdateData(false);
}

void CKestrelDlg::DisconnectTcp() {
    m_pSocket->Close();
    m_pSocket->deleteLater();
    m_pSocket = nullptr;
    m_replyWatch.Clear();
    m_btnConnect->setText(QStringLiteral("Connect"));
    AppendReport(QStringLiteral("TCP Connect closed..."));
    m_cbProtocol->setEnabled(true);
    if (m_paramOrigin == ParamOrigin::Tcp) {
        ForgetParamBlock();
    }
    m_btnAdvanced->setEnabled(false);
    ClearIndicators();
    m_fAI1.store(0.0F);
    m_fAI2.store(0.0F);
    UpdateData(false);
}

// "Advanced" waits for the module's answer to the parameter read (DecodeNetworkReply).
void CKestrelDlg::OnSocketConnect(int nErrorCode) {
    if (!m_pSocket) {
        return;
    }
    if (nErrorCode == 0) {
        AppendReport(QStringLiteral("TCP Client Connected to %1 : %2")
                         .arg(m_strIP, QString::number(m_nPort)));
        m_cbProtocol->setEnabled(false);
        m_pSocket->SetRtuFraming(SelectedFraming() == Framing::ModbusRtu ? 1 : 0);
        ReadDeviceParams();
    } else {
        ReportConnectFailure();
    }
    UpdateData(false);
}

// The attempt failed: say why, and keep the "Disconnect" state until the operator clicks.
void CKestrelDlg::ReportConnectFailure() {
    AppendReport(QStringLiteral("TCP connect to %1:%2 failed: %3")
                     .arg(m_strIP, QString::number(m_nPort), m_pSocket->ErrorText()));
}

// The module closed or reset the connection: drop the link as the Disconnect button does, and
// say which of the two it was.
void CKestrelDlg::OnPeerClosed() {
    if (!m_pSocket) {
        return;
    }
    const bool reset = m_pSocket->PeerEnding() == PeerCloseProbe::Ending::Reset;
    DisconnectTcp();
    AppendReport(reset ? QStringLiteral("The module reset the connection")
                       : QStringLiteral("The module closed the connection"));
}

void CKestrelDlg::ReadDeviceParams() {
    if (!m_pSocket) {
        return;
    }
    const Framing framing = SelectedFraming();
    m_pSocket->Send(ParamReadFrame(3, framing));
    if (framing == Framing::ModbusRtu) {
        QThread::msleep(kRtuReadPauseMs);
    }
    m_pSocket->Send(ParamReadFrame(5, framing));
}
