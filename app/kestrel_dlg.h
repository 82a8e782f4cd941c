#pragma once

#include <QIcon>
#include <QPointer>
#include <QString>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <thread>
#include <utility>
#include <vector>

#include "background_task.h"
#include "device_params.h"
#include "device_search.h"
#include "dialog_template.h"
#include "frames.h"
#include "reply_decoder.h"
#include "reply_watch.h"
#include "serial_link.h"
#include "serial_port.h"
#include "tcp_link.h"
#include "wake_event.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class QTimer;
class QTreeWidget;
class CModbusSocket;
class CAdvancedDlg;
class HelpWindow;
class RequestLink;
class TrafficMonitor;

// Which link's module the parameter block was read from.
enum class ParamOrigin : std::uint8_t { None, Tcp, Serial };

// The panel's main window. It owns every per-run state: the TCP link, the COM port and its
// link, the device search, the address and values in use, the report, and the link-mode flag.
// The links do the work; the window's handlers call them and show what they report.
class CKestrelDlg : public CTemplateDialog {
    Q_OBJECT
  public:
    // searchLibraryName: the device-search library loaded at start.
    explicit CKestrelDlg(QWidget* parent = nullptr,
                         const char* searchLibraryName = "DAVazIvurirU2");
    ~CKestrelDlg() override;

    // ---- window ----
    void AppendReport(const QString& line);
    void OnSysCommand(unsigned id);
    // Opens the traffic monitor beside the window, or brings the open one to the front.
    void OnTraffic();
    TrafficMonitor* Monitor() const;
    // F1: the operator's guide in a window of its own, or the open one brought to the front.
    void OnHelp();
    HelpWindow* Help() const;
    Q_INVOKABLE void OnRefreshView();
    // Refreshes the fields after replies: at once when the window is quiet, otherwise at most
    // once per frame of the screen, and always after the last reply of a burst.
    void RefreshAfterReply();

    // ---- requests and replies ----
    void SendCommand(int k);
    void DecodeNetworkReply(std::span<const Byte> frame);
    void DecodeSerialReply(std::span<const Byte> frame);  // reader thread

    // ---- TCP link ----
    void OnOK();
    void DisconnectTcp();
    void OnSocketConnect(int nErrorCode);

    // ---- parameters ----
    void ReadDeviceParams();
    void WriteDeviceParams();
    void OnAdvanced();
    // The first `known` bytes of g_DeviceParams now belong to the module of `origin`'s link:
    // "Advanced" is enabled once the whole block is known and while that link is the one
    // requests go to.
    void KeepParamBlock(ParamOrigin origin, std::size_t known);
    // The block's link closed or another link took over: the block is cleared, "Advanced"
    // disabled.
    void ForgetParamBlock();
    ParamOrigin ParamBlockOrigin() const { return m_paramOrigin; }
    // The link requests go to now.
    ParamOrigin CurrentLinkOrigin() const;

    // ---- serial link ----
    void OnSerialOpen();
    void OnSerialSearch();

    // ---- discovery ----
    void OnSearchDevices();
    void OnClickDeviceList();

    // Stops the serial reader, closes the COM port and drops the TCP link. The close path runs
    // it before the window's state goes away; a search or a paced write under way ends first.
    void ShutdownLinks();

    // ---- long operations ----
    // A search or a paced parameter write runs: the window repaints and shows what it is doing,
    // and takes no other command until it has ended.
    bool OperationRunning() const { return m_operationRunning; }
    // What the window shows of the operation under way; empty when none runs.
    QString OperationStatus() const;

    // What the tests and the benchmark look at and set.
    CModbusSocket* Socket() const { return m_tcpLink.Socket(); }
    CSerialPort& SerialPort() { return m_SerialPort; }
    const CSerialPort& SerialPort() const { return m_SerialPort; }
    const QString& ReportText() const { return m_strReport; }
    void SetReportText(const QString& text) { m_strReport = text; }
    QCheckBox* Relay(std::size_t n) const { return m_pRelay.at(n); }
    QCheckBox* DI(std::size_t n) const { return m_pDI.at(n); }
    std::uint8_t Address() const { return m_byAddress; }
    void SetAddress(std::uint8_t address) { m_byAddress = address; }
    std::uint8_t NetworkLink() const { return m_bNetworkLink; }
    void SetNetworkLink(std::uint8_t network) { m_bNetworkLink = network; }
    const QString& Host() const { return m_strIP; }
    std::uint32_t Port() const { return m_nPort; }
    void SetAnalogValues(float ai1, float ai2);

  public slots:
    void reject() override;

  protected:
    void DoDataExchange(CDataExchange& dx) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void OnInitDialog();
    void BindControls();
    void FillCombos();
    void ConnectCommands();
    void ApplyEffect(const ReplyEffect& effect);
    void ClearIndicators();
    Framing SelectedFraming() const;
    bool SendOnLink(std::span<const Byte> frame);
    bool WatchReply(int k);
    void ReportUnansweredRequests();
    void ScheduleReplyCheck();
    QString CommandName(int k) const;
    std::uint32_t SerialRateInForce() const;
    RequestLink& ActiveLink();
    std::optional<QString> WatchLineFor(std::span<const Byte> frame);
    void ConnectTcpLink();
    void OnPeerClosed(const QString& reason);
    SerialLink::Handlers SerialHandlers();
    void WatchSerialWake();
    void TakeSerialSearchResult(const SerialLink::SearchResult& result);
    void TakeFoundModule(const SerialLink::SearchResult& result);
    void OnSerialLineLost();
    void SetupDeviceList();
    void LoadSearchLibrary();
    void ShowFoundDevices();
    void BeginOperation(const QString& status);
    void ShowOperationStatus(const QString& status);
    void EndOperation();
    void EndOperationForClose();
    // A control that an operation holds disabled takes its new state when the operation ends.
    void EnableControl(QWidget* control, bool enabled);
    // The parameter read under way: which link, its unit, how many of its requests are still
    // unanswered; it ends with the whole block, a refusal, or no reply in time, each said once.
    void WatchParamRead(ParamOrigin origin, Byte unit, int requests,
                        std::chrono::milliseconds within);
    void TakeParamReply(ParamOrigin origin, const ReplyEffect& effect);
    void TakeParamRefusal(ParamOrigin origin, Byte code);
    void CountParamAnswer();
    void EndParamRead();
    void DropParamRead();
    void ReadRestOfSerialBlock();
    bool RepliesRead() const;
    void PauseParamWrite(unsigned long ms, std::function<void()> then);
    void WriteNextParam();
    void FinishParamWrite();
    void ReadBackParams();

    std::uint8_t m_bNetworkLink = 1;
    std::array<QCheckBox*, 4> m_pDI{};
    std::array<QCheckBox*, 4> m_pRelay{};
    CSerialPort m_SerialPort;
    QPushButton* m_btnSearch = nullptr;
    QPushButton* m_btnSerialSearch = nullptr;
    QPushButton* m_btnAdvanced = nullptr;
    QComboBox* m_cbCom = nullptr;
    QComboBox* m_cbBaud = nullptr;
    QComboBox* m_cbProtocol = nullptr;
    QTreeWidget* m_listDevices = nullptr;
    QPushButton* m_btnConnect = nullptr;
    QPushButton* m_btnSerialOpen = nullptr;
    QString m_strIP = QStringLiteral("192.168.1.232");
    std::uint32_t m_nPort = 4196;
    QString m_strReport;
    std::atomic<float> m_fAI1{0.0F};
    std::atomic<float> m_fAI2{0.0F};
    std::uint8_t m_byAddress = 1;
    QIcon m_hIcon;
    std::unique_ptr<CAdvancedDlg> m_dlgAdvanced;

    TcpLink m_tcpLink;
    WakeEvent m_serialWake;  // before the link: it outlives the reader that signals it
    SerialLink m_serialLink;
    const char* m_searchLibraryName;
    DeviceSearch m_deviceSearch;
    ParamOrigin m_paramOrigin = ParamOrigin::None;
    std::size_t m_paramKnown = 0;  // bytes of the block read from the module of m_paramOrigin
    struct ParamRead {
        bool pending = false;
        ParamOrigin origin = ParamOrigin::None;
        Byte unit = 0;
        int unanswered = 0;
        std::optional<Byte> refusal;
        bool zeroReported = false;
    };
    ParamRead m_paramRead;
    QTimer* m_paramReadTimer = nullptr;
    // The block just written and the unit it went to, until its read-back has been compared.
    std::optional<std::pair<DeviceParams, Byte>> m_writtenCheck;
    bool m_serialRepliesRead = false;  // a search found the module and the reader runs
    QPointer<HelpWindow> m_helpWindow;
    ReplyWatch m_replyWatch;
    QTimer* m_replyTimer = nullptr;
    QTimer* m_refreshPacer = nullptr;  // running: a refresh was shown less than a frame ago
    bool m_bRefreshDue = false;        // replies came since that refresh
    QPointer<TrafficMonitor> m_trafficMonitor;  // once opened; closing it hides it

    QLabel* m_status = nullptr;  // what the operation under way is doing
    QPointer<QWidget> m_focusBeforeOperation;
    bool m_operationRunning = false;
    bool m_holdForParamRead = false;  // the operation is the pause between the two reads
    std::vector<std::pair<QWidget*, bool>> m_heldControls;  // and the state each comes back to
    const std::thread::id m_uiThread = std::this_thread::get_id();
    BackgroundTask m_deviceSearchTask;
    std::vector<DeviceSearch::Row> m_foundDevices;  // the last search's, until shown
    // The paced write: its frames, how many went out, and the link they go on.
    std::vector<std::vector<Byte>> m_paramFrames;
    std::size_t m_paramFramesSent = 0;
    RequestLink* m_paramLink = nullptr;
    QTimer* m_paramPause = nullptr;
    std::function<void()> m_afterParamPause;
};
