// The serial link of the main window: opening and closing the COM port, the search for a module
// over the eight baud rates, and the decoding of what the reader hands on.
#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>
#include <algorithm>

#include "device_params.h"
#include "kestrel_app.h"
#include "kestrel_dlg.h"
#include "message_box.h"
#include "serial_rates.h"
#include "serial_reader.h"

namespace {

constexpr std::uint32_t kSearchBufferSize = 32;
constexpr std::uint32_t kMinParamsReply = 11;

}  // namespace

void CKestrelDlg::OnSerialOpen() {
    if (m_SerialPort.IsOpen()) {
        CloseSerialPort();
    } else {
        const int port = ComboSelection(m_cbCom) + 1;  // no selection: COM0, which fails
        m_nOpenComPort = port;
        if (!m_SerialPort.Open(port, 1200, 8, 0, 0)) {
            const QString path = QString::fromStdString(m_SerialPort.DevicePath());
            AppendReport(QStringLiteral("Open COM%1 failed: %2 (%3)")
                             .arg(port)
                             .arg(QString::fromStdString(m_SerialPort.LastError()),
                                  path.isEmpty() ? QStringLiteral("no device") : path));
        }
    }
    if (m_SerialPort.IsOpen()) {
        m_btnSerialOpen->setText(QStringLiteral("Close"));
        m_btnSerialSearch->setEnabled(true);
        m_bNetworkLink = 0;
    } else {
        m_btnSerialOpen->setText(QStringLiteral("Open"));
        m_btnAdvanced->setEnabled(false);
        m_btnSerialSearch->setEnabled(false);
        m_bNetworkLink = 1;  // requests go back to the TCP link
    }
}

void CKestrelDlg::StopSerialReader() {
    if (m_reader) {
        m_reader->Stop();
        m_reader.reset();
    }
}

// The reader is stopped and joined before the device is closed, so no read ever runs on a
// closed (or reused) descriptor.
void CKestrelDlg::CloseSerialPort() {
    StopSerialReader();
    m_SerialPort.Close();
}

void CKestrelDlg::OnSerialSearch() {
    StopSerialReader();  // one reader at most, and the search reads alone
    std::array<Byte, kSearchBufferSize> buffer{};
    for (int step = 0; step < static_cast<int>(kSerialRates.size()); ++step) {
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (TerminationRequested()) {
                return;  // the program is ending: no more reads, and no box
            }
            if (FindSerialModule(step, attempt, buffer)) {
                TakeSerialSearchReply(step, buffer);
                return;
            }
        }
    }
    KestrelMessageBox(this, QStringLiteral("Found no device!"), MessageIcon::None);
}

bool CKestrelDlg::FindSerialModule(int step, int attempt, std::array<Byte, 32>& buffer) {
    const SerialRate& settings = kSerialRates.at(static_cast<std::size_t>(step));
    if (m_SerialPort.IsOpen()) {
        m_SerialPort.SetReadTimeout(settings.searchReadMultiplierMs);
        m_SerialPort.Configure(settings.baud, 8, 0, 0);
        SendCommand(kCmdReadParams5 + attempt);
    }
    const std::uint32_t got = m_SerialPort.Read(buffer.data(), kSearchBufferSize);
    m_searchReplyLength = got;
    return got >= kMinParamsReply && buffer[1] == 0x03;
}

void CKestrelDlg::TakeSerialSearchReply(int step, const std::array<Byte, 32>& buffer) {
    // The block takes what the reply carries: at most its ten bytes, never more than arrived.
    const std::size_t count =
        std::min<std::size_t>({buffer[2], g_DeviceParams.bytes.size(), m_searchReplyLength - 3});
    std::copy_n(buffer.begin() + 3, count, g_DeviceParams.bytes.begin());
    m_cbBaud->setCurrentIndex(step);
    m_byAddress = buffer[3];
    UpdateData(false);
    m_btnAdvanced->setEnabled(true);
    AppendReport(QStringLiteral("Found device!"));
    m_SerialPort.SetReadTimeout(0);
    StartSerialReader();
}

void CKestrelDlg::StartSerialReader() {
    m_reader = std::make_unique<CSerialReader>(
        m_SerialPort, this, [this](std::span<const Byte> frame) { DecodeSerialReply(frame); },
        [this] { OnSerialLineLost(); }, "COM" + std::to_string(m_nOpenComPort));
    m_reader->Start();  // only now: the first frame's handler reaches the reader through m_reader
}

// Runs on the reader thread: indicators and the refresh go through synchronous calls into the
// user-interface thread; the analog values are stored directly.
void CKestrelDlg::DecodeSerialReply(std::span<const Byte> frame) {
    const ReplyEffect effect = DecodeSerialFrame(frame);
    switch (effect.kind) {
        case ReplyEffect::Kind::DiBits:
        case ReplyEffect::Kind::Indicator:
            m_reader->RunOnUi([this, effect] { ApplyEffect(effect); });
            break;
        case ReplyEffect::Kind::Analog:
            m_fAI1.store(effect.ai1);
            m_fAI2.store(effect.ai2);
            m_reader->RunOnUi([this] { OnRefreshView(); });
            break;
        default:
            break;
    }
}

// The adapter went away under the reader: close the port as the Close button would.
void CKestrelDlg::OnSerialLineLost() {
    if (!m_SerialPort.IsOpen()) {
        return;
    }
    OnSerialOpen();
    AppendReport(QStringLiteral("COM%1 was lost (%2 hung up or failed); the port is closed")
                     .arg(m_nOpenComPort)
                     .arg(QString::fromStdString(m_SerialPort.DevicePath())));
}
