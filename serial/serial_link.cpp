// The serial link of the main window: opening and closing the COM port, the search for a module
// over the eight baud rates, and the decoding of what the reader hands on.
#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>
#include <algorithm>
#include <string>
#include <vector>

#include "device_params.h"
#include "kestrel_app.h"
#include "kestrel_dlg.h"
#include "message_box.h"
#include "serial_rates.h"
#include "serial_reader.h"
#include "stream_framer.h"
#include "trace.h"

namespace {

constexpr std::uint32_t kSearchBufferSize = 32;
constexpr std::uint32_t kMinParamsReply = 11;  // unit, function, count, three registers, CRC
constexpr Byte kReadHoldingRegisters = 0x03;

using SearchBuffer = std::array<Byte, kSearchBufferSize>;

// Moves the parameter-read reply among the `got` bytes of one search read to the front of the
// buffer and returns its length, 0 when there is none: the first whole frame with a good CRC and
// function 3 that carries at least three registers. Line noise and damaged replies never pass.
// Every frame read goes to the traffic trace as rx, every run of other bytes as drop.
std::size_t MoveParamsReplyToFront(SearchBuffer& buffer, std::uint32_t got,
                                   const std::string& link) {
    std::vector<Byte> reply;
    std::vector<Byte> dropped;
    const auto traceDropped = [&] {
        if (!dropped.empty()) {
            TraceFrame(link, "drop", dropped);
            dropped.clear();
        }
    };
    StreamFramer framer(Framing::ModbusRtu, Direction::Reply);
    const std::span<const Byte> read(buffer.data(), got);
    framer.Append(read);
    while (const auto piece = framer.Next()) {
        const std::span<const Byte> bytes = piece->bytes;
        if (!piece->IsFrame()) {
            dropped.insert(dropped.end(), bytes.begin(), bytes.end());
            continue;
        }
        traceDropped();
        TraceFrame(link, "rx", bytes);
        if (reply.empty() && bytes.size() >= kMinParamsReply && bytes[1] == kReadHoldingRegisters) {
            reply.assign(bytes.begin(), bytes.end());
        }
    }
    const auto unfinished = read.last(framer.Buffered());  // a frame cut short by the read's end
    dropped.insert(dropped.end(), unfinished.begin(), unfinished.end());
    traceDropped();
    std::copy(reply.begin(), reply.end(), buffer.begin());
    return reply.size();
}

std::string ComLinkName(int port) {
    return "COM" + std::to_string(port);
}

}  // namespace

void CKestrelDlg::OnSerialOpen() {
    m_replyWatch.Clear();  // the requests were made on the link that is ending
    const bool wasOpen = m_SerialPort.IsOpen();
    if (wasOpen) {
        CloseSerialPort();
    } else {
        const int port = ComboSelection(m_cbCom) + 1;  // no selection: COM0, which fails
        m_nOpenComPort = port;
        if (!m_SerialPort.Open(port, 1200, 8, 0, 0)) {
            const QString path = QString::fromStdString(m_SerialPort.DevicePath());
            AppendReport(QStringLiteral("Open COM%1 failed: %2 (%3)")
                             .arg(QString::number(port),
                                  QString::fromStdString(m_SerialPort.LastError()),
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
    // The serial link took over from the TCP link, or closed: no block read before is its
    // module's. A failed open takes nothing over and leaves the block alone ("Advanced" off).
    if (wasOpen || m_SerialPort.IsOpen()) {
        ForgetParamBlock();
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
    const bool readerWasRunning = m_reader != nullptr;
    StopSerialReader();  // one reader at most, and the search reads alone
    SearchBuffer buffer{};
    for (int step = 0; step < static_cast<int>(kSerialRates.size()); ++step) {
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (TerminationRequested()) {
                return;  // the program is ending: no more reads, and no box
            }
            if (FindSerialModule(step, attempt, buffer)) {
                TakeSerialSearchReply(step, buffer);
                return;
            }
            if (m_SerialPort.LineLost()) {
                OnSerialLineLost();  // closes the port and says so, as the reader would
                return;
            }
        }
    }
    // Whatever module answered before may be gone or changed: its block goes. The port stays
    // open, so what comes in is still read and shown, at the rate the search left it at.
    ForgetParamBlock();
    if (readerWasRunning) {
        StartSerialReader();
    }
    KestrelMessageBox(this, QStringLiteral("Found no device!"), MessageIcon::None);
}

bool CKestrelDlg::FindSerialModule(int step, int attempt, std::array<Byte, 32>& buffer) {
    const SerialRate& settings = kSerialRates.at(static_cast<std::size_t>(step));
    if (m_SerialPort.IsOpen() && !m_SerialPort.LineLost()) {  // a lost line takes no write
        m_SerialPort.SetReadTimeout(settings.searchReadMultiplierMs);
        m_SerialPort.Configure(settings.baud, 8, 0, 0);
        TraceNote(ComLinkName(m_nOpenComPort) + " search at " + std::to_string(settings.baud) +
                  " baud");
        SendCommand(kCmdReadParams5 + attempt);
    }
    const std::uint32_t got = m_SerialPort.Read(buffer.data(), kSearchBufferSize);
    m_searchReplyLength = static_cast<std::uint32_t>(
        MoveParamsReplyToFront(buffer, got, ComLinkName(m_nOpenComPort)));
    return m_searchReplyLength != 0;
}

void CKestrelDlg::TakeSerialSearchReply(int step, const std::array<Byte, 32>& buffer) {
    // The block takes what the reply carries: at most its ten bytes, never more than arrived.
    const std::size_t count =
        std::min<std::size_t>({buffer[2], g_DeviceParams.bytes.size(), m_searchReplyLength - 3});
    std::copy_n(buffer.begin() + 3, count, g_DeviceParams.bytes.begin());
    m_cbBaud->setCurrentIndex(step);
    m_byAddress = buffer[3];
    UpdateData(false);
    KeepParamBlock(ParamOrigin::Serial);
    AppendReport(QStringLiteral("Found device!"));
    StartSerialReader();
}

void CKestrelDlg::StartSerialReader() {
    m_SerialPort.SetReadTimeout(0);  // the reader's reads hand on at once what has come
    m_reader = std::make_unique<CSerialReader>(
        m_SerialPort, this, [this](std::span<const Byte> frame) { DecodeSerialReply(frame); },
        [this] { OnSerialLineLost(); }, ComLinkName(m_nOpenComPort));
    m_reader->Start();  // only now: the first frame's handler reaches the reader through m_reader
}

// Runs on the reader thread: indicators and the refresh go through synchronous calls into the
// user-interface thread; the analog values are stored directly.
void CKestrelDlg::DecodeSerialReply(std::span<const Byte> frame) {
    TakeReplyForWatch(frame);
    const ReplyEffect effect = DecodeSerialFrame(frame);
    switch (effect.kind) {
        case ReplyEffect::Kind::DiBits:
        case ReplyEffect::Kind::Indicator:
            m_reader->RunOnUi([this, effect] { ApplyEffect(effect); });
            break;
        case ReplyEffect::Kind::Analog:
            m_fAI1.store(effect.ai1);
            m_fAI2.store(effect.ai2);
            m_reader->RunOnUi([this] { RefreshAfterReply(); });
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
                     .arg(QString::number(m_nOpenComPort),
                          QString::fromStdString(m_SerialPort.DevicePath())));
}
