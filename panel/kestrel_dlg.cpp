#include "kestrel_dlg.h"

#include <algorithm>
#include <utility>

#include "advanced_dlg.h"
#include "device_params.h"
#include "main_template.h"
#include "report_lines.h"
#include "serial_rates.h"

namespace {

constexpr unsigned kAboutCommand = 0x0010;
constexpr int kComCount = 255;
constexpr std::chrono::milliseconds kRefreshPeriod{16};  // one frame of a 60 Hz screen

// The indicators DI1..DI4.
constexpr std::array<int, 4> kDiIds = {IDC_DI1, IDC_DI2, IDC_DI3, IDC_DI4};

// The button of request k of the command table (relays, then the two queries).
int CommandButtonId(int k) {
    return k < 8 ? IDC_RL1_ON + k : IDC_QUERY_DI + (k - 8);
}

}  // namespace

CKestrelDlg::CKestrelDlg(DialogPort& port, EventPort& loop, TcpPort& tcpPort,
                         const char* searchLibraryName)
    : CDialog(port),
      m_loop(loop),
      m_dlgAdvanced(std::make_unique<CAdvancedDlg>()),
      m_tcpLink(loop, tcpPort, TcpHandlers()),
      m_serialLink(m_SerialPort, SerialHandlers()),
      m_searchLibraryName(searchLibraryName),
      m_paramReadTimer(loop.MakeTimer()),
      m_replyDeadline(loop,
                      [this](const std::vector<std::string>& lines) {
                          for (const std::string& line : lines) {
                              AppendReport(line);
                          }
                      }),
      m_refreshPacer(loop.MakeTimer()),
      m_deviceSearchTask(loop),
      m_paramWrite(loop) {
    // The search's thread shows the port's messages on the window's thread, and waits for them.
    m_SerialPort.SetMessageSink([this](const char* text) {
        const auto show = [this, message = std::string(text)] {
            ShowMessage(Port(), message, MessageIcon::Warning);
        };
        std::this_thread::get_id() == m_uiThread ? show() : m_serialLink.RunOnUi(show);
    });
}

CKestrelDlg::~CKestrelDlg() {
    ShutdownLinks();
}

void CKestrelDlg::OnInitDialog(DialogPort& port) {
    Attach(port);
    UpdateData(false);
    FillCombos();
    port.Enable(IDC_ADVANCED, false);
    port.Enable(IDC_SERIAL_SEARCH, false);
    SetupDeviceList();
    LoadSearchLibrary();
    port.AddComboItem(IDC_PROTOCOL, "MODBUS TCP");
    port.AddComboItem(IDC_PROTOCOL, "MODBUS RTU");
    port.SetComboSelection(IDC_PROTOCOL, 0);
    port.SetFocus(IDC_CONNECT);
}

void CKestrelDlg::FillCombos() {
    for (int com = 1; com <= kComCount; ++com) {
        Port().AddComboItem(IDC_COM, "COM" + std::to_string(com));
    }
    Port().SetComboSelection(IDC_COM, 0);
    for (const SerialRate& rate : kSerialRates) {
        Port().AddComboItem(IDC_BAUD, std::to_string(rate.baud));
    }
    Port().SetComboSelection(IDC_BAUD, 0);
}

void CKestrelDlg::OnCommand(int id) {
    if ((id >= IDC_RL1_ON && id <= IDC_RL4_OFF) || id == IDC_QUERY_DI || id == IDC_QUERY_AI) {
        SendCommand(id <= IDC_RL4_OFF ? id - IDC_RL1_ON : 8 + (id - IDC_QUERY_DI));
        return;
    }
    switch (id) {
        case IDC_CONNECT:
            OnOK();
            break;
        case IDC_ADVANCED:
            OnAdvanced();
            break;
        case IDC_NET_SEARCH:
            OnSearchDevices();
            break;
        case IDC_SERIAL_SEARCH:
            OnSerialSearch();
            break;
        case IDC_SERIAL_OPEN:
            OnSerialOpen();
            break;
        default:
            break;
    }
}

void CKestrelDlg::OnListClick(int id) {
    if (id == IDC_DEVICE_LIST) {
        OnClickDeviceList();
    }
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

void CKestrelDlg::AppendReport(const std::string& line) {
    m_strReport = line + "\r\n" + m_strReport;
    UpdateData(false);
}

void CKestrelDlg::OnRefreshView() {
    UpdateData(false);
}

void CKestrelDlg::RefreshAfterReply() {
    if (m_refreshPacer->Active()) {
        m_bRefreshDue = true;
        return;
    }
    OnRefreshView();
    PaceRefreshes();
}

// A frame from the last refresh, the replies that came meanwhile are shown, once.
void CKestrelDlg::PaceRefreshes() {
    m_refreshPacer->Start(kRefreshPeriod, [this] {
        if (std::exchange(m_bRefreshDue, false)) {
            OnRefreshView();
            PaceRefreshes();
        }
    });
}

void CKestrelDlg::OnSysCommand(unsigned id) {
    if ((id & 0xFFF0U) == kAboutCommand) {
        Port().ShowAbout();
    }
}

void CKestrelDlg::OnTraffic() {
    Port().ShowTraffic([this] { return m_byAddress; });
}

void CKestrelDlg::OnHelp() {
    Port().ShowHelp();
}

void CKestrelDlg::OnCancel() {
    ShutdownLinks();
    Port().EndDialog(2);
}

void CKestrelDlg::ShutdownLinks() {
    EndOperationForClose();
    m_replyDeadline.Clear();
    m_refreshPacer->Stop();
    DropParamRead();
    m_serialLink.Close();
    m_tcpLink.Disconnect();
}

// ---- requests -----------------------------------------------------------------------------------

// No selection (or a typed text that names no item) means RTU, as item 1 does.
Framing CKestrelDlg::SelectedFraming() const {
    return Port().ComboSelection(IDC_PROTOCOL) == 0 ? Framing::ModbusTcp : Framing::ModbusRtu;
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
            m_replyDeadline.WithdrawNewest();
        }
        AppendReport(CommandName(k) + " was not sent: the TCP link is not connected");
    } else if (!RepliesRead()) {
        AppendReport(report_line::RepliesNotRead(CommandName(k), m_serialLink.TraceName()));
    }
}

// On the TCP link replies are always read; on the COM port only once a search has found the
// module and started the reader.
bool CKestrelDlg::RepliesRead() const {
    return m_bNetworkLink != 0 || m_serialRepliesRead;
}

// ---- replies that do not come -------------------------------------------------------------------

std::string CKestrelDlg::CommandName(int k) const {
    return Port().Text(CommandButtonId(k));
}

// Relay writes and the two queries are watched for their reply; requests are never held back,
// queued or repeated for it.
bool CKestrelDlg::WatchReply(int k) {
    if (k > kCmdQueryAi) {
        return false;
    }
    const auto timeout = m_bNetworkLink != 0 ? ReplyTimeout() : ReplyTimeout(SerialRateInForce());
    m_replyDeadline.Watch(ReplyWatch::ForCommand(k, CommandName(k)), timeout);
    return true;
}

// The rate the COM port runs at as the window shows it; the slowest when it shows none.
std::uint32_t CKestrelDlg::SerialRateInForce() const {
    const int index = Port().ComboSelection(IDC_BAUD);
    return kSerialRates.at(index < 0 ? 0 : static_cast<std::size_t>(index)).baud;
}

// ---- replies ------------------------------------------------------------------------------------

void CKestrelDlg::ApplyEffect(const ReplyEffect& effect) {
    using Kind = ReplyEffect::Kind;
    switch (effect.kind) {
        case Kind::DiBits:
            for (std::size_t n = 0; n < 4; ++n) {
                Port().SetChecked(kDiIds[n], ((effect.diBits >> n) & 1U) != 0);
            }
            break;
        case Kind::Indicator: {
            const auto n = static_cast<std::size_t>(effect.index);
            Port().SetChecked(effect.set == ReplyEffect::IndicatorSet::Relay
                                  ? IDC_RL1 + effect.index
                                  : kDiIds.at(n),
                              effect.checked);
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
    if (auto line = m_replyDeadline.Received(frame)) {
        m_loop.Post(m_life.Guard([this, text = std::move(*line)] { AppendReport(text); }));
    }
    ApplyEffect(DecodeNetworkFrame(frame, m_byAddress));
    RefreshAfterReply();
}

void CKestrelDlg::ClearIndicators() {
    for (int n = 0; n < 4; ++n) {
        Port().SetChecked(kDiIds[static_cast<std::size_t>(n)], false);
        Port().SetChecked(IDC_RL1 + n, false);
    }
}
