#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "background_task.h"
#include "data_exchange.h"
#include "device_params.h"
#include "device_search.h"
#include "event_port.h"
#include "frames.h"
#include "param_write.h"
#include "reply_deadline.h"
#include "reply_decoder.h"
#include "reply_watch.h"
#include "serial_link.h"
#include "serial_port.h"
#include "tcp_link.h"

class CAdvancedDlg;
class RequestLink;

// Which link's module the parameter block was read from.
enum class ParamOrigin : std::uint8_t { None, Tcp, Serial };

// The panel's main window, as behaviour: what each click sends, what each reply shows, the
// report, the links and the parameter block. It works the window through its DialogPort, runs
// its pauses and deadlines on the EventPort, and connects over the TcpPort; it knows no toolkit.
// It owns every per-run state: the TCP link, the COM port and its link, the device search, the
// address and values in use, the report, and the link-mode flag.
class CKestrelDlg : public CDialog {
  public:
    // searchLibraryName: the device-search library loaded at start.
    CKestrelDlg(DialogPort& port, EventPort& loop, TcpPort& tcpPort,
                const char* searchLibraryName = "DAVazIvurirU2");
    ~CKestrelDlg() override;

    // ---- what the shell tells ----
    void OnInitDialog(DialogPort& port) override;
    void OnCommand(int id) override;
    void OnCancel() override;
    void OnListClick(int id) override;
    void OnHelp() override;
    void OnSysCommand(unsigned id) override;
    void OnTraffic() override;

    // ---- window ----
    void AppendReport(const std::string& line);
    void OnRefreshView();
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
    // Any thread: the serial link has something for the window's thread.
    void WakeForSerial();

    // ---- discovery ----
    void OnSearchDevices();
    void OnClickDeviceList();

    // Stops the serial reader, closes the COM port and drops the TCP link. The close path runs
    // it before the window's state goes away; a search or a paced write under way ends first.
    void ShutdownLinks();

    // ---- long operations ----
    // A search or a paced parameter write runs: the window shows what it is doing, and takes
    // no other command until it has ended.
    bool OperationRunning() const { return m_operationRunning; }

  protected:
    void DoDataExchange(CDataExchange& dx) override;

  private:
    void PaceRefreshes();
    void FillCombos();
    void ApplyEffect(const ReplyEffect& effect);
    void ClearIndicators();
    Framing SelectedFraming() const;
    bool SendOnLink(std::span<const Byte> frame);
    bool WatchReply(int k);
    std::string CommandName(int k) const;
    std::uint32_t SerialRateInForce() const;
    RequestLink& ActiveLink();
    TcpLink::Handlers TcpHandlers();
    void OnPeerClosed(const std::string& reason);
    SerialLink::Handlers SerialHandlers();
    void TakeSerialSearchResult(const SerialLink::SearchResult& result);
    void TakeFoundModule(const SerialLink::SearchResult& result);
    void OnSerialLineLost();
    void SetupDeviceList();
    void LoadSearchLibrary();
    void ShowFoundDevices();
    void BeginOperation(const std::string& status);
    void ShowOperationStatus(const std::string& status);
    void EndOperation();
    void EndOperationForClose();
    // A control that an operation holds disabled takes its new state when the operation ends.
    void EnableControl(int id, bool enabled);
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
    ParamWrite::Steps ParamWriteSteps(bool serial, std::size_t frames);
    std::string UnwritableReason(ParamOrigin originAtOpen) const;

    EventPort& m_loop;
    std::uint8_t m_bNetworkLink = 1;
    CSerialPort m_SerialPort;
    std::string m_strIP = "192.168.1.232";
    std::uint32_t m_nPort = 4196;
    std::string m_strReport;
    std::atomic<float> m_fAI1{0.0F};
    std::atomic<float> m_fAI2{0.0F};
    std::uint8_t m_byAddress = 1;
    std::unique_ptr<CAdvancedDlg> m_dlgAdvanced;

    TcpLink m_tcpLink;
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
    std::unique_ptr<Timer> m_paramReadTimer;
    // The block just written and the unit it went to, until its read-back has been compared.
    std::optional<std::pair<DeviceParams, Byte>> m_writtenCheck;
    bool m_serialRepliesRead = false;  // a search found the module and the reader runs
    ReplyDeadline m_replyDeadline;
    std::unique_ptr<Timer> m_refreshPacer;  // running: a refresh was shown less than a frame ago
    bool m_bRefreshDue = false;             // replies came since that refresh

    int m_focusBeforeOperation = kNoId;
    bool m_operationRunning = false;
    bool m_holdForParamRead = false;  // the operation is the pause between the two reads
    std::vector<std::pair<int, bool>> m_heldControls;  // and the state each comes back to
    const std::thread::id m_uiThread = std::this_thread::get_id();
    BackgroundTask m_deviceSearchTask;
    std::vector<DeviceSearch::Row> m_foundDevices;  // the last search's, until shown
    ParamWrite m_paramWrite;
    LifeToken m_life;  // last: the calls this window posted end with it
};
