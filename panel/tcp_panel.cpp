// The window side of the TCP link: the Connect/Disconnect toggle and what the window shows of the
// link's attempts, its parameter read and its ending.
#include <utility>

#include "device_params.h"
#include "kestrel_dlg.h"
#include "main_template.h"
#include "reply_watch.h"

TcpLink::Handlers CKestrelDlg::TcpHandlers() {
    return {
        [this](const std::string& line) { AppendReport(line); },
        [this](int errorCode) { OnSocketConnect(errorCode); },
        [this](std::span<const Byte> frame) { DecodeNetworkReply(frame); },
        [this](const std::string& reason) { OnPeerClosed(reason); },
        [this] {
            if (std::exchange(m_holdForParamRead, false)) {
                EndOperation();
            }
        },
    };
}

void CKestrelDlg::OnOK() {
    const bool fieldsTaken = UpdateData(true);
    if (m_tcpLink.Ready()) {
        DisconnectTcp();
        return;
    }
    if (!fieldsTaken) {
        return;  // the refusal has been shown; an attempt with the old values would surprise
    }
    if (!m_tcpLink.Connect(m_strIP, m_nPort)) {
        m_strReport = TcpLink::CreateFailedText();
        UpdateData(false);
        return;
    }
    Port().SetText(IDC_CONNECT, "Disconnect");
    UpdateData(false);
}

// While the COM port is the link in use, the window shows its module: nothing of that goes.
void CKestrelDlg::DisconnectTcp() {
    m_tcpLink.Disconnect();
    Port().SetText(IDC_CONNECT, "Connect");
    AppendReport("TCP Connect closed...");
    Port().Enable(IDC_PROTOCOL, true);
    if (m_paramOrigin == ParamOrigin::Tcp) {
        ForgetParamBlock();
    }
    if (m_bNetworkLink != 0) {
        m_replyDeadline.Clear();
        DropParamRead();
        EnableControl(IDC_ADVANCED, false);
        ClearIndicators();
        m_fAI1.store(0.0F);
        m_fAI2.store(0.0F);
    }
    UpdateData(false);
}

// The link has reported the outcome. "Advanced" waits for the module's answer to the parameter
// read (DecodeNetworkReply); a failed attempt keeps the "Disconnect" state until the operator
// clicks.
void CKestrelDlg::OnSocketConnect(int nErrorCode) {
    if (!m_tcpLink.Ready()) {
        return;
    }
    if (nErrorCode == 0) {
        Port().Enable(IDC_PROTOCOL, false);
        m_tcpLink.SetFraming(SelectedFraming());
        ReadDeviceParams();
    }
    UpdateData(false);
}

// The module closed or reset the connection: drop the link as the Disconnect button does, and
// say which of the two it was.
void CKestrelDlg::OnPeerClosed(const std::string& reason) {
    if (!m_tcpLink.Ready()) {
        return;
    }
    DisconnectTcp();
    AppendReport(reason);
}

// In RTU framing the second read follows after a pause, and no other request goes out between
// the two: the window holds its commands until it has gone (unless an operation holds them).
// Its replies are watched while TCP is the link in use (what comes on TCP otherwise is not taken).
void CKestrelDlg::ReadDeviceParams() {
    m_tcpLink.ReadParams();
    if (m_tcpLink.Ready() && m_bNetworkLink != 0) {
        const auto secondRead = std::chrono::milliseconds(m_tcpLink.ParamReadPending() ? 200 : 0);
        WatchParamRead(ParamOrigin::Tcp, kParamBroadcastUnit, 2, ReplyTimeout() + secondRead);
    }
    if (m_tcpLink.ParamReadPending() && !m_operationRunning) {
        m_holdForParamRead = true;
        BeginOperation("Reading the module's parameters...");
    }
}
