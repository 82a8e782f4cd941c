#include "kestrel_dlg.h"

#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QShortcut>
#include <QTimer>
#include <QTreeWidget>
#include <utility>

#include "about_dlg.h"
#include "advanced_dlg.h"
#include "com_list.h"
#include "device_params.h"
#include "help_window.h"
#include "main_template.h"
#include "message_box.h"
#include "modbus_socket.h"
#include "report_lines.h"
#include "serial_rates.h"
#include "traffic_monitor.h"

namespace {

constexpr unsigned kAboutCommand = 0x0010;
constexpr const char* kAboutMenuText = "关于 Kestrel(&A)...";
constexpr const char* kTrafficMenuText = "Traffic";
constexpr int kComCount = 255;
constexpr int kRefreshPeriodMs = 16;  // one frame of a 60 Hz screen

// The button of request k of the command table (relays, then the two queries).
int CommandButtonId(int k) {
    return k < 8 ? IDC_RL1_ON + k : IDC_QUERY_DI + (k - 8);
}

}  // namespace

CKestrelDlg::CKestrelDlg(QWidget* parent, const char* searchLibraryName)
    : CTemplateDialog(kMainTemplate, parent),
      m_hIcon(QStringLiteral(":/kestrel.png")),
      m_dlgAdvanced(std::make_unique<CAdvancedDlg>()),
      m_serialLink(m_SerialPort, SerialHandlers()),
      m_searchLibraryName(searchLibraryName) {
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    // The search's thread shows the port's messages on the window's thread, and waits for them.
    m_SerialPort.SetMessageSink([this](const char* text) {
        const QString message = QString::fromUtf8(text);
        const auto show = [this, message] {
            KestrelMessageBox(this, message, MessageIcon::Warning);
        };
        std::this_thread::get_id() == m_uiThread ? show() : m_serialLink.RunOnUi(show);
    });
    OnInitDialog();
}

CKestrelDlg::~CKestrelDlg() {
    ShutdownLinks();
}

void CKestrelDlg::OnInitDialog() {
    BindControls();
    UpdateData(false);
    setWindowIcon(m_hIcon);
    FillCombos();
    m_btnAdvanced->setEnabled(false);
    m_btnSerialSearch->setEnabled(false);
    SetupDeviceList();
    WatchSerialWake();
    LoadSearchLibrary();
    m_cbProtocol->addItem(QStringLiteral("MODBUS TCP"));
    m_cbProtocol->addItem(QStringLiteral("MODBUS RTU"));
    m_cbProtocol->setCurrentIndex(0);
    ConnectTcpLink();
    m_replyTimer = new QTimer(this);
    m_replyTimer->setSingleShot(true);
    m_replyTimer->setTimerType(Qt::PreciseTimer);
    connect(m_replyTimer, &QTimer::timeout, this, &CKestrelDlg::ReportUnansweredRequests);
    m_paramPause = new QTimer(this);
    m_paramPause->setSingleShot(true);
    m_paramPause->setTimerType(Qt::PreciseTimer);
    connect(m_paramPause, &QTimer::timeout, this,
            [this] { std::exchange(m_afterParamPause, nullptr)(); });
    m_paramReadTimer = new QTimer(this);
    m_paramReadTimer->setSingleShot(true);
    connect(m_paramReadTimer, &QTimer::timeout, this, &CKestrelDlg::EndParamRead);
    connect(new QShortcut(QKeySequence::HelpContents, this), &QShortcut::activated, this,
            &CKestrelDlg::OnHelp);
    ConnectCommands();
    m_btnConnect->setFocus();
}

void CKestrelDlg::BindControls() {
    m_btnSearch = Item<QPushButton>(IDC_NET_SEARCH);
    m_btnSerialSearch = Item<QPushButton>(IDC_SERIAL_SEARCH);
    m_btnAdvanced = Item<QPushButton>(IDC_ADVANCED);
    m_cbCom = Item<QComboBox>(IDC_COM);
    m_cbBaud = Item<QComboBox>(IDC_BAUD);
    m_cbProtocol = Item<QComboBox>(IDC_PROTOCOL);
    m_listDevices = Item<QTreeWidget>(IDC_DEVICE_LIST);
    m_btnConnect = Item<QPushButton>(IDC_CONNECT);
    m_btnSerialOpen = Item<QPushButton>(IDC_SERIAL_OPEN);
    m_status = Item<QLabel>(IDC_STATUS);
    const std::array<int, 4> diIds = {IDC_DI1, IDC_DI2, IDC_DI3, IDC_DI4};
    for (std::size_t n = 0; n < 4; ++n) {
        m_pDI[n] = Item<QCheckBox>(diIds[n]);
        m_pRelay[n] = Item<QCheckBox>(IDC_RL1 + static_cast<int>(n));
    }
}

void CKestrelDlg::FillCombos() {
    for (int port = 1; port <= kComCount; ++port) {
        m_cbCom->addItem(QStringLiteral("COM%1").arg(port));
    }
    m_cbCom->setCurrentIndex(0);
    MarkComDevicesWhenListed(*m_cbCom);
    for (const SerialRate& rate : kSerialRates) {
        m_cbBaud->addItem(QString::number(rate.baud));
    }
    m_cbBaud->setCurrentIndex(0);
}

void CKestrelDlg::ConnectCommands() {
    for (int k = 0; k <= kCmdQueryAi; ++k) {
        connect(Item<QPushButton>(CommandButtonId(k)), &QPushButton::clicked, this,
                [this, k] { SendCommand(k); });
    }
    connect(m_btnConnect, &QPushButton::clicked, this, &CKestrelDlg::OnOK);
    connect(m_btnAdvanced, &QPushButton::clicked, this, &CKestrelDlg::OnAdvanced);
    connect(m_btnSearch, &QPushButton::clicked, this, &CKestrelDlg::OnSearchDevices);
    connect(m_btnSerialSearch, &QPushButton::clicked, this, &CKestrelDlg::OnSerialSearch);
    connect(m_btnSerialOpen, &QPushButton::clicked, this, &CKestrelDlg::OnSerialOpen);
}

void CKestrelDlg::DoDataExchange(CDataExchange& dx) {
    float ai1 = m_fAI1.load();
    float ai2 = m_fAI2.load();
    dx.Text(IDC_IP, m_strIP);
    dx.Unsigned(IDC_PORT, m_nPort);
    dx.Text(IDC_REPORT, m_strReport);
    dx.Float(IDC_AI1, ai1);
    dx.Float(IDC_AI2, ai2);
    dx.Byte(IDC_ADDRESS, m_byAddress);
    if (dx.Saving()) {
        m_fAI1.store(ai1);
        m_fAI2.store(ai2);
    }
}

void CKestrelDlg::AppendReport(const QString& line) {
    m_strReport = line + QStringLiteral("\r\n") + m_strReport;
    UpdateData(false);
}

void CKestrelDlg::SetAnalogValues(float ai1, float ai2) {
    m_fAI1.store(ai1);
    m_fAI2.store(ai2);
}

void CKestrelDlg::OnRefreshView() {
    UpdateData(false);
}

void CKestrelDlg::RefreshAfterReply() {
    if (!m_refreshPacer) {
        m_refreshPacer = new QTimer(this);
        m_refreshPacer->setSingleShot(true);
        m_refreshPacer->setInterval(kRefreshPeriodMs);
        connect(m_refreshPacer, &QTimer::timeout, this, [this] {
            if (std::exchange(m_bRefreshDue, false)) {
                OnRefreshView();
                m_refreshPacer->start();
            }
        });
    }
    if (m_refreshPacer->isActive()) {
        m_bRefreshDue = true;
        return;
    }
    OnRefreshView();
    m_refreshPacer->start();
}

void CKestrelDlg::OnSysCommand(unsigned id) {
    if ((id & 0xFFF0U) == kAboutCommand) {
        CAboutDlg about(this);
        about.exec();
    }
}

void CKestrelDlg::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    menu.addAction(QString::fromUtf8(kAboutMenuText), this,
                   [this] { OnSysCommand(kAboutCommand); });
    menu.addAction(QString::fromUtf8(kTrafficMenuText), this, &CKestrelDlg::OnTraffic);
    menu.exec(event->globalPos());
}

TrafficMonitor* CKestrelDlg::Monitor() const {
    return m_trafficMonitor.data();
}

void CKestrelDlg::OnTraffic() {
    if (!m_trafficMonitor) {  // one for the whole run: closing it only hides it
        m_trafficMonitor = new TrafficMonitor([this] { return m_byAddress; }, this);
    }
    m_trafficMonitor->ShowBeside(this);
}

HelpWindow* CKestrelDlg::Help() const {
    return m_helpWindow.data();
}

void CKestrelDlg::OnHelp() {
    if (!m_helpWindow) {
        m_helpWindow = new HelpWindow(this);
        m_helpWindow->setAttribute(Qt::WA_DeleteOnClose);
    }
    m_helpWindow->show();
    m_helpWindow->raise();
    m_helpWindow->activateWindow();
}

void CKestrelDlg::reject() {
    ShutdownLinks();
    CTemplateDialog::reject();
}

void CKestrelDlg::ShutdownLinks() {
    EndOperationForClose();
    m_replyWatch.Clear();
    DropParamRead();
    m_serialLink.Close();
    m_tcpLink.Disconnect();
}

// ---- requests -----------------------------------------------------------------------------------

// No selection (or a typed text that names no item) means RTU, as item 1 does.
Framing CKestrelDlg::SelectedFraming() const {
    return ComboSelection(m_cbProtocol) == 0 ? Framing::ModbusTcp : Framing::ModbusRtu;
}

RequestLink& CKestrelDlg::ActiveLink() {
    if (m_bNetworkLink != 0) {
        return m_tcpLink;
    }
    return m_serialLink;
}

// False when the frame could not go out.
bool CKestrelDlg::SendOnLink(std::span<const Byte> frame) {
    return ActiveLink().Send(frame);
}

void CKestrelDlg::SendCommand(int k) {
    StoreCommandUnit(k, m_byAddress);
    RequestLink& link = ActiveLink();
    if (!link.Ready()) {
        AppendReport(report_line::NotSent(CommandName(k), m_bNetworkLink != 0));
        return;
    }
    // Watched before it goes, so that a quick reply finds it watched; only where a reader runs.
    const bool watched = RepliesRead() && WatchReply(k);
    if (!SendOnLink(FrameCommand(k, link.LinkFraming()))) {
        if (watched) {
            m_replyWatch.WithdrawNewest();
        }
        AppendReport(
            QStringLiteral("%1 was not sent: the TCP link is not connected").arg(CommandName(k)));
    } else if (!RepliesRead()) {
        AppendReport(report_line::RepliesNotRead(CommandName(k),
                                                 QString::fromStdString(m_serialLink.TraceName())));
    }
}

// On the TCP link replies are always read; on the COM port only once a search has found the
// module and started the reader.
bool CKestrelDlg::RepliesRead() const {
    return m_bNetworkLink != 0 || m_serialRepliesRead;
}

// ---- replies that do not come -------------------------------------------------------------------

QString CKestrelDlg::CommandName(int k) const {
    return Item<QPushButton>(CommandButtonId(k))->text();
}

// Relay writes and the two queries are watched for their reply; requests are never held back,
// queued or repeated for it.
bool CKestrelDlg::WatchReply(int k) {
    if (k > kCmdQueryAi) {
        return false;
    }
    const auto timeout = m_bNetworkLink != 0 ? ReplyTimeout() : ReplyTimeout(SerialRateInForce());
    m_replyWatch.Sent(ReplyWatch::ForCommand(k, CommandName(k).toStdString()),
                      ReplyWatch::Clock::now() + timeout);
    ScheduleReplyCheck();
    return true;
}

// The rate the COM port runs at as the window shows it; the slowest when it shows none.
std::uint32_t CKestrelDlg::SerialRateInForce() const {
    const int index = ComboSelection(m_cbBaud);
    return kSerialRates.at(index < 0 ? 0 : static_cast<std::size_t>(index)).baud;
}

// Any thread: the report line of an exception reply to a watched request.
std::optional<QString> CKestrelDlg::WatchLineFor(std::span<const Byte> frame) {
    if (const auto line = m_replyWatch.Received(frame)) {
        return QString::fromStdString(*line);
    }
    return std::nullopt;
}

void CKestrelDlg::ReportUnansweredRequests() {
    for (const std::string& line : m_replyWatch.Expired(ReplyWatch::Clock::now())) {
        AppendReport(QString::fromStdString(line));
    }
    ScheduleReplyCheck();
}

void CKestrelDlg::ScheduleReplyCheck() {
    const auto next = m_replyWatch.NextDeadline();
    if (!next) {
        m_replyTimer->stop();
        return;
    }
    const auto wait =
        std::chrono::ceil<std::chrono::milliseconds>(*next - ReplyWatch::Clock::now());
    m_replyTimer->start(std::max<int>(0, static_cast<int>(wait.count())));
}

// ---- replies ------------------------------------------------------------------------------------

void CKestrelDlg::ApplyEffect(const ReplyEffect& effect) {
    using Kind = ReplyEffect::Kind;
    switch (effect.kind) {
        case Kind::DiBits:
            for (std::size_t n = 0; n < 4; ++n) {
                m_pDI[n]->setChecked(((effect.diBits >> n) & 1U) != 0);
            }
            break;
        case Kind::Indicator: {
            const auto& set = effect.set == ReplyEffect::IndicatorSet::Relay ? m_pRelay : m_pDI;
            set.at(static_cast<std::size_t>(effect.index))->setChecked(effect.checked);
            break;
        }
        case Kind::Analog:
            m_fAI1.store(effect.ai1);
            m_fAI2.store(effect.ai2);
            break;
        case Kind::Parameters:
            TakeParamReply(ParamOrigin::Tcp, effect);
            break;
        case Kind::None:
            break;
    }
}

// The exception line is reported after the reply has been taken in, as every later one. While
// the COM port is the link in use, the window shows its module only: what comes on TCP is left
// to the trace and the traffic monitor.
void CKestrelDlg::DecodeNetworkReply(std::span<const Byte> frame) {
    if (m_bNetworkLink == 0) {
        return;
    }
    if (const auto code = ParamReadRefusal(frame)) {
        TakeParamRefusal(ParamOrigin::Tcp, *code);
    }
    if (const auto line = WatchLineFor(frame)) {
        QMetaObject::invokeMethod(
            this, [this, text = *line] { AppendReport(text); }, Qt::QueuedConnection);
    }
    ApplyEffect(DecodeNetworkFrame(frame, m_byAddress));
    RefreshAfterReply();
}

void CKestrelDlg::ClearIndicators() {
    for (std::size_t n = 0; n < 4; ++n) {
        m_pDI[n]->setChecked(false);
        m_pRelay[n]->setChecked(false);
    }
}
