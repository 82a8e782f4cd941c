// The "Advanced" button: the dialog over a copy of the parameter block, then the write of the
// block on the active link and its read on the TCP link.
#include <array>
#include <tuple>

#include "advanced_dlg.h"
#include "device_params.h"
#include "kestrel_dlg.h"
#include "main_template.h"
#include "param_fields.h"
#include "reply_watch.h"
#include "report_lines.h"
#include "serial_rates.h"

namespace {
constexpr std::chrono::milliseconds kWritePause{100};

constexpr std::size_t kWholeBlock = 10;

std::string BaudText(int index) {
    return index < 0 ? "none" : std::to_string(kSerialRates.at(std::size_t(index)).baud);
}

// What the module reads back differently from what was written, field by field as the dialog
// names them ("AI1 initiative upload 1000 (written 1500)"); empty when it reads back the same.
std::string ReadBackDifferences(const DeviceParams& written, const DeviceParams& readBack) {
    const ParamFields w = FieldsOfBlock(written);
    const ParamFields r = FieldsOfBlock(readBack);
    const std::array<std::tuple<const char*, std::string, std::string>, 6> fields = {{
        {"Slave Addr", std::to_string(r.slaveAddr), std::to_string(w.slaveAddr)},
        {"Baudrate", BaudText(r.baudIndex), BaudText(w.baudIndex)},
        {"Enable DI initiative upload", std::to_string(r.uploadEnable),
         std::to_string(w.uploadEnable)},
        {"DI upload address", std::to_string(r.uploadAddr), std::to_string(w.uploadAddr)},
        {"AI1 initiative upload", std::to_string(r.ai1Period), std::to_string(w.ai1Period)},
        {"AI2 initiative upload", std::to_string(r.ai2Period), std::to_string(w.ai2Period)},
    }};
    std::string differences;
    for (const auto& [name, read, wrote] : fields) {
        if (read != wrote) {
            differences += (differences.empty() ? "" : ", ") + std::string(name) + " " + read +
                           " (written " + wrote + ")";
        }
    }
    return differences;
}
}  // namespace

// The block is written only to the module it was read from, on the link it came by. The write
// goes on after this returns, paced by a timer (WriteDeviceParams).
void CKestrelDlg::OnAdvanced() {
    const ParamOrigin originAtOpen = m_paramOrigin;
    m_dlgAdvanced->m_params = g_DeviceParams;
    if (m_dlgAdvanced->DoModal(Port()) != CAdvancedDlg::IDOK) {
        return;
    }
    if (const std::string reason = UnwritableReason(originAtOpen); !reason.empty()) {
        AppendReport(reason);
        return;
    }
    g_DeviceParams = m_dlgAdvanced->m_params;
    WriteDeviceParams();
}

// Why the block cannot be written back to the module it was read from, or an empty text when
// it can. The dialog is modal but the links are not: the module may close the TCP connection or
// the COM port may hang up while the operator types, and the link flag then falls back to TCP,
// where another module may be listening.
std::string CKestrelDlg::UnwritableReason(ParamOrigin originAtOpen) const {
    const ParamOrigin current = CurrentLinkOrigin();
    if (current == ParamOrigin::Serial && !m_SerialPort.IsOpen()) {
        return "The COM port is closed: the parameters were not written";
    }
    const bool linkUp = current == ParamOrigin::Serial || m_tcpLink.Ready();
    if (linkUp && originAtOpen == current && m_paramOrigin == originAtOpen) {
        return {};
    }
    if (originAtOpen == ParamOrigin::Serial) {
        return "The COM port was lost: the parameters were not written";
    }
    return "The TCP link is closed: the parameters were not written";
}

ParamOrigin CKestrelDlg::CurrentLinkOrigin() const {
    return m_bNetworkLink != 0 ? ParamOrigin::Tcp : ParamOrigin::Serial;
}

// A block known only in part is never offered: OK would write registers nobody read or typed.
void CKestrelDlg::KeepParamBlock(ParamOrigin origin, std::size_t known) {
    m_paramKnown = origin == m_paramOrigin ? std::max(m_paramKnown, known) : known;
    m_paramOrigin = origin;
    EnableControl(IDC_ADVANCED, origin == CurrentLinkOrigin() && m_paramKnown == kWholeBlock);
}

void CKestrelDlg::ForgetParamBlock() {
    g_DeviceParams = DeviceParams{};
    m_paramOrigin = ParamOrigin::None;
    m_paramKnown = 0;
    EnableControl(IDC_ADVANCED, false);
}

// ---- the parameter read and what it tells --------------------------------------------------

void CKestrelDlg::WatchParamRead(ParamOrigin origin, Byte unit, int requests,
                                 std::chrono::milliseconds within) {
    m_paramRead = {true, origin, unit, requests, std::nullopt, false};
    m_paramReadTimer->Start(within, [this] { EndParamRead(); });
}

// Address 0 is the broadcast address: a module (or a damaged block) that reports it is not
// taken at its word, and requests keep their unit.
void CKestrelDlg::TakeParamReply(ParamOrigin origin, const ReplyEffect& effect) {
    const bool awaited = m_paramRead.pending && m_paramRead.origin == origin;
    if (origin == ParamOrigin::Serial && !awaited) {
        return;  // on the COM port only the read the window asked for is taken
    }
    if (effect.address == 0) {
        if (!awaited || !std::exchange(m_paramRead.zeroReported, true)) {
            AppendReport(report_line::AddressZero(m_byAddress));
        }
    } else {
        m_byAddress = effect.address;
        std::copy_n(effect.params.begin(), effect.paramCount, g_DeviceParams.bytes.begin());
        KeepParamBlock(origin, effect.paramCount);
    }
    if (awaited) {
        CountParamAnswer();
    }
}

void CKestrelDlg::TakeParamRefusal(ParamOrigin origin, Byte code) {
    if (!m_paramRead.pending || m_paramRead.origin != origin) {
        return;
    }
    m_paramRead.refusal = code;
    CountParamAnswer();
}

void CKestrelDlg::CountParamAnswer() {
    --m_paramRead.unanswered;
    const bool whole = m_paramOrigin == m_paramRead.origin && m_paramKnown == kWholeBlock;
    if (whole || m_paramRead.unanswered <= 0) {
        EndParamRead();
    }
}

// Every request answered, or the time is up: the read ends with one line unless the whole block
// came (and then, after a write, the line that compares it with what was written).
void CKestrelDlg::EndParamRead() {
    if (!std::exchange(m_paramRead.pending, false)) {
        return;
    }
    m_paramReadTimer->Stop();
    const auto written = std::exchange(m_writtenCheck, std::nullopt);
    const bool ours = m_paramOrigin == m_paramRead.origin;
    if (ours && m_paramKnown == kWholeBlock) {
        if (written) {
            const std::string differences = ReadBackDifferences(written->first, g_DeviceParams);
            AppendReport(differences.empty()
                             ? report_line::ParamsWritten(written->second)
                             : report_line::ParamsReadBackDiffer(written->second, differences));
        }
    } else if (m_paramRead.zeroReported) {
        // said already
    } else if (m_paramRead.refusal) {
        AppendReport(report_line::ParamReadRefused(m_paramRead.unit, *m_paramRead.refusal,
                                                   ExceptionName(*m_paramRead.refusal)));
    } else if (ours && m_paramKnown > 0) {
        AppendReport(report_line::ParamReadPartial());
    } else {
        AppendReport(report_line::ParamReadUnanswered());
    }
}

// The link of the read went away: nothing more is waited for, and nothing said.
void CKestrelDlg::DropParamRead() {
    m_paramRead.pending = false;
    m_writtenCheck.reset();
    m_paramReadTimer->Stop();
}

// The search found the module by its answer to the three-register read: the two AI periods are
// read from it before "Advanced" is offered.
void CKestrelDlg::ReadRestOfSerialBlock() {
    m_serialLink.Send(ParamReadFrame(5, Framing::ModbusRtu, m_byAddress));
    WatchParamRead(ParamOrigin::Serial, m_byAddress, 1, ReplyTimeout(SerialRateInForce()));
}

// Four register writes 100 ms apart on the link in use, then on the serial link the completion
// box, 100 ms, and the port closed; then the block is forgotten and, 200 ms later, read again.
// The pauses are timers: the window repaints meanwhile and takes no other command. On the serial
// link the frames go out even with the port closed (and are lost), as every write of a closed
// port.
void CKestrelDlg::WriteDeviceParams() {
    RequestLink& link = ActiveLink();
    std::vector<std::vector<Byte>> frames;
    if (m_bNetworkLink == 0 || link.Ready()) {
        frames = ParamWriteFrames(g_DeviceParams, m_byAddress, link.LinkFraming());
    }
    BeginOperation("Writing parameters...");
    const std::size_t count = frames.size();
    m_paramWrite.Start(link, std::move(frames), ParamWriteSteps(m_bNetworkLink == 0, count));
}

// A real serial module takes its new settings when restarted: the port is closed for that. The
// module answers the read that follows with the block it now holds; until it does, there is no
// block to show or write.
ParamWrite::Steps CKestrelDlg::ParamWriteSteps(bool serial, std::size_t frames) {
    ParamWrite::Steps steps;
    RequestLink& link = ActiveLink();
    // The link went away between two writes: the rest would go nowhere, or to another module.
    steps.beforeFrame = [this, &link](std::size_t index, std::size_t count) {
        if (index > 0 && !link.Ready()) {
            AppendReport("The link was lost after " + std::to_string(index) + " of " +
                         std::to_string(count) + " parameter writes");
            return false;
        }
        ShowOperationStatus("Writing parameters " + std::to_string(index + 1) + " of " +
                            std::to_string(count) + "...");
        return true;
    };
    steps.afterLast = [this, serial, frames] {
        if (serial) {
            ShowMessage(Port(), "Set complete!please reboot device!", MessageIcon::None);
        } else if (frames > 0) {  // every write went out: the read-back is compared
            m_writtenCheck = std::pair(g_DeviceParams, m_byAddress);
        }
    };
    steps.settle = serial ? kWritePause : std::chrono::milliseconds(0);
    steps.settled = [this, serial] {
        if (serial && m_serialLink.IsOpen()) {  // a port lost meanwhile stays closed
            OnSerialOpen();
        }
        ForgetParamBlock();
    };
    steps.readBack = [this] {
        EndOperation();
        ReadDeviceParams();  // in RTU framing it holds the window until its second read
    };
    return steps;
}
