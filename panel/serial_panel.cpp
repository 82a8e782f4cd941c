// The window side of the serial link: the Open/Close toggle, the search button, and what the
// window shows of the replies the reader hands on.
#include <algorithm>

#include "device_params.h"
#include "kestrel_dlg.h"
#include "main_template.h"
#include "report_lines.h"

// The reader's frames are decoded on its thread; the rest comes through the link's hand-over,
// drained on the window's thread when the link asks for it (WakeForSerial).
SerialLink::Handlers CKestrelDlg::SerialHandlers() {
    return {
        [this](std::span<const Byte> frame) { DecodeSerialReply(frame); },
        [this] { OnSerialLineLost(); },
        [this] { WakeForSerial(); },
    };
}

// Any thread. The drain runs on the window's thread, and never after the window is gone.
void CKestrelDlg::WakeForSerial() {
    m_loop.Post(m_life.Guard([this] { m_serialLink.DrainUi(); }));
}

void CKestrelDlg::OnSerialOpen() {
    m_replyDeadline.Clear();  // the requests were made on the link that is ending
    DropParamRead();
    m_serialRepliesRead = false;  // no reader until a search finds the module
    const bool wasOpen = m_serialLink.IsOpen();
    if (wasOpen) {
        m_serialLink.Close();
    } else if (!m_serialLink.Open(Port().ComboSelection(IDC_COM) + 1)) {  // no selection: COM0,
                                                                          // which fails
        AppendReport(m_serialLink.OpenFailureLine());
    }
    if (m_serialLink.IsOpen()) {
        Port().SetText(IDC_SERIAL_OPEN, "Close");
        EnableControl(IDC_SERIAL_SEARCH, true);
        m_bNetworkLink = 0;
    } else {
        Port().SetText(IDC_SERIAL_OPEN, "Open");
        EnableControl(IDC_ADVANCED, false);
        EnableControl(IDC_SERIAL_SEARCH, false);
        m_bNetworkLink = 1;  // requests go back to the TCP link
    }
    // The serial link took over from the TCP link, or closed: no block read before is its
    // module's. A failed open takes nothing over and leaves the block alone ("Advanced" off).
    if (wasOpen || m_serialLink.IsOpen()) {
        ForgetParamBlock();
    }
}

// The search runs on the link's own thread; the window shows each rate as it is tried and takes
// the outcome once the search has ended. Closing the window ends the search between two reads.
void CKestrelDlg::OnSerialSearch() {
    DropParamRead();  // the search reads the line alone; a read asked for before is given up
    const std::string port = "COM" + std::to_string(m_serialLink.Com());
    BeginOperation("Searching " + port + "...");
    m_serialLink.StartSearch(
        m_byAddress,
        {[this, port](std::uint32_t baud) {
             ShowOperationStatus("Searching " + port + " at " + std::to_string(baud) + " baud...");
         },
         [this](const SerialLink::SearchResult& result) {
             EndOperation();
             TakeSerialSearchResult(result);
         }});
}

void CKestrelDlg::TakeSerialSearchResult(const SerialLink::SearchResult& result) {
    using End = SerialLink::SearchResult::End;
    switch (result.end) {
        case End::Found:
            TakeFoundModule(result);
            break;
        case End::NotFound:
            // Whatever module answered before may be gone or changed: its block goes, and its
            // replies are no longer read at its rate.
            m_serialRepliesRead = false;
            ForgetParamBlock();
            ShowMessage(Port(), "Found no device!", MessageIcon::None);
            break;
        case End::LineLost:
            OnSerialLineLost();  // closes the port and says so, as the reader would
            break;
        case End::Ended:
            break;  // ended early: no more reads, and no box
    }
}

// A module that reports address 0 is found all the same, but its block is not taken and the
// address in use stays.
void CKestrelDlg::TakeFoundModule(const SerialLink::SearchResult& result) {
    m_serialRepliesRead = true;
    Port().SetComboSelection(IDC_BAUD, result.step);
    ForgetParamBlock();  // a block found before may be another module's, or older
    if (result.address != 0) {
        std::copy(result.params.begin(), result.params.end(), g_DeviceParams.bytes.begin());
        m_byAddress = result.address;
        KeepParamBlock(ParamOrigin::Serial, result.params.size());
    }
    UpdateData(false);
    AppendReport("Found device!");
    if (result.address == 0) {
        AppendReport(report_line::AddressZero(m_byAddress));
    } else if (m_paramKnown < g_DeviceParams.bytes.size()) {
        ReadRestOfSerialBlock();
    }
}

// Runs on the reader thread: indicators and the refresh go through synchronous calls into the
// user-interface thread; the analog values are stored directly.
void CKestrelDlg::DecodeSerialReply(std::span<const Byte> frame) {
    if (auto line = m_replyDeadline.Received(frame)) {
        m_serialLink.PostToUi([this, text = *line] { AppendReport(text); });
    }
    if (const ReplyEffect params = DecodeParamReply(frame);
        params.kind == ReplyEffect::Kind::Parameters) {
        m_serialLink.RunOnUi([this, params] { TakeParamReply(ParamOrigin::Serial, params); });
    } else if (const auto code = ParamReadRefusal(frame)) {
        m_serialLink.RunOnUi([this, c = *code] { TakeParamRefusal(ParamOrigin::Serial, c); });
    }
    const ReplyEffect effect = DecodeSerialFrame(frame);
    switch (effect.kind) {
        case ReplyEffect::Kind::DiBits:
        case ReplyEffect::Kind::Indicator:
            m_serialLink.RunOnUi([this, effect] { ApplyEffect(effect); });
            break;
        case ReplyEffect::Kind::Analog:
            m_fAI1.store(effect.ai1);
            m_fAI2.store(effect.ai2);
            m_serialLink.RunOnUi([this] { RefreshAfterReply(); });
            break;
        default:
            break;
    }
}

// The adapter went away under the reader: close the port as the Close button would.
void CKestrelDlg::OnSerialLineLost() {
    if (!m_serialLink.IsOpen()) {
        return;
    }
    OnSerialOpen();
    AppendReport(m_serialLink.LostLine());
}
