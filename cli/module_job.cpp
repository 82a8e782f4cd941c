#include "module_job.h"

#include <charconv>

#include "codec.h"
#include "field_exchange.h"
#include "param_names.h"
#include "reply_decoder.h"

namespace {

// A scaled value as JSON: raw x 5 / 1024 is exact in binary, and so is its shortest decimal as a
// double ("24.5166015625", where the float's shortest would be "24.516602").
std::string JsonNumber(float value) {
    std::array<char, 32> text{};
    const auto result =
        std::to_chars(text.data(), text.data() + text.size(), static_cast<double>(value));
    return {text.data(), result.ptr};
}

std::string OnOff(bool on) {
    return on ? "on" : "off";
}

// The register a write-single-register request frame writes.
std::string RegisterName(std::span<const Byte> frame, Framing framing) {
    const std::size_t unitAt = framing == Framing::ModbusTcp ? kMbapHeaderSize : 0;
    std::array<char, 8> hex{};
    std::snprintf(hex.data(), hex.size(), "0x%04X", ReadWord(frame, unitAt + 2));
    return std::string("the write of register ") + hex.data();
}

}  // namespace

ModuleJob::ModuleJob(EventPort& loop, TcpPort& tcp, const cli::Target& target,
                     const cli::Options& options, cli::Command command, std::function<bool()> ended)
    : m_options(options),
      m_serial(target.serial),
      m_command(command),
      m_link(ModuleLink::For(loop, tcp, target, options, std::move(ended))),
      m_deadline(loop, [this](const std::vector<std::string>& lines) { OnDeadline(lines); }),
      m_read(loop),
      m_write(loop) {
    m_result.module = target.Name();
    m_result.command = cli::CommandName(options, m_command);
    m_link->SetHandlers({
        [this](bool ok, const std::string& failure) { OnOpened(ok, failure); },
        [this](const std::vector<Byte>& frame) { OnFrame(frame); },
        [this](const std::string& reason) {
            m_linkOpen = false;
            Fail(JobResult::kNoAnswer, reason);
        },
    });
}

ModuleJob::~ModuleJob() = default;

void ModuleJob::Start() {
    m_ended = false;
    JobResult fresh;
    fresh.module = m_result.module;
    fresh.command = m_result.command;
    m_result = fresh;
    if (!m_linkOpen) {
        m_link->Open();
        return;
    }
    if (m_command == cli::Command::Params) {
        ReadBlock(m_options.unit, [this] { RunCommand(); });
    } else {
        RunCommand();
    }
}

void ModuleJob::Abort() {
    if (!m_ended && m_writing) {
        const std::string sent = std::to_string(m_writesSent);
        m_result.status = JobResult::kNoAnswer;
        m_result.error = m_writesSent == 0 ? "interrupted before writing: nothing written"
                                           : "interrupted: " + sent + " of 4 registers written" +
                                                 (m_writesSent == 4 ? ", not read back" : "");
    }
    m_ended = true;
    StopTimers();
    CloseLink();
}

void ModuleJob::StopTimers() {
    m_deadline.Clear();
    m_read.Stop();
    m_write.Stop();
}

void ModuleJob::CloseLink() {
    m_link->Close();
    m_linkOpen = false;
}

// ---- the link and the requests on it ------------------------------------------------------------

void ModuleJob::OnOpened(bool ok, const std::string& failure) {
    if (!ok) {
        Fail(JobResult::kNoLink, failure);
        return;
    }
    m_linkOpen = true;
    // With --unit the command goes out alone; the search's block is taken only when no unit was
    // given, as it may come from another module on the line.
    const auto learnt = m_link->LearntBySearch();
    const bool needBlock =
        m_command == cli::Command::Params || m_command == cli::Command::ParamsSet;
    if (m_options.unit && !needBlock) {
        m_address = *m_options.unit;
        RunCommand();
    } else if (learnt && !m_options.unit && (learnt->count == m_block.bytes.size() || !needBlock)) {
        m_address = learnt->address;
        m_block = learnt->params;
        RunCommand();
    } else {
        ReadBlock(m_options.unit, [this] { RunCommand(); });
    }
}

void ModuleJob::Ask(const std::vector<Byte>& frame, ReplyWatch::Request request,
                    ReplyHandler then) {
    m_then = std::move(then);
    Watch(std::move(request));
    if (!m_link->Send(frame)) {
        Fail(JobResult::kNoAnswer, "the request could not be sent: the link is down");
    }
}

// Before the request goes out, so a quick reply finds it watched.
void ModuleJob::Watch(ReplyWatch::Request request) {
    m_deadline.Watch(std::move(request),
                     std::chrono::milliseconds(m_options.timeoutMs) + m_link->LineTime());
}

void ModuleJob::OnDeadline(const std::vector<std::string>& lines) {
    Fail(JobResult::kNoAnswer, lines.front() + (m_readingBlock ? NoReplyHint() : ""));
}

void ModuleJob::OnFrame(const std::vector<Byte>& frame) {
    if (m_ended || frame.size() < 2) {
        return;
    }
    const std::size_t watched = m_deadline.Watched();
    if (const auto refusal = m_deadline.Received(frame)) {
        Fail(JobResult::kNoAnswer, *refusal);
        return;
    }
    // A module may answer the read to unit 0xFF from its own address; a read to a given unit
    // is answered only by that unit.
    const bool answered =
        m_deadline.Watched() < watched ||
        (m_readingBlock && m_blockUnit == kParamBroadcastUnit && frame[1] == kFuncReadHolding);
    if (!answered) {
        if (m_watching) {
            ReportEvent(frame);
        }
        return;
    }
    if (m_then) {
        const ReplyHandler handler = m_then;  // a handler may set the next one
        handler(frame);
    }
}

// ---- the parameter block
// --------------------------------------------------------------------------

// The panel's read: three registers, then five (200 ms later in RTU framing), to unit 0xFF;
// to a given unit, five registers from that unit.
void ModuleJob::ReadBlock(std::optional<Byte> unit, std::function<void()> then) {
    m_readingBlock = true;
    m_blockUnit = unit.value_or(kParamBroadcastUnit);
    m_then = [this, then](const std::vector<Byte>& frame) { TakeBlockReply(frame, then); };
    const ReplyWatch::Request request{m_blockUnit, kFuncReadHolding, 0, "the parameter read"};
    const bool sent =
        m_read.Start(*m_link, unit, {[this, request](std::uint16_t) { Watch(request); }, nullptr});
    if (unit && !sent) {
        Fail(JobResult::kNoAnswer, "the request could not be sent: the link is down");
    }
}

// The whole block is taken from the reply of five registers; the shorter one only teaches the
// address.
void ModuleJob::TakeBlockReply(const std::vector<Byte>& frame, const std::function<void()>& then) {
    const ReplyEffect effect = DecodeNetworkFrame(frame, m_address);
    if (effect.kind != ReplyEffect::Kind::Parameters) {
        return;
    }
    m_address = effect.address;
    std::copy_n(effect.params.begin(), effect.paramCount, m_block.bytes.begin());
    if (effect.paramCount < m_block.bytes.size()) {
        return;
    }
    m_readingBlock = false;
    m_deadline.Clear();
    const std::function<void()> next = then;  // `then` lives in the handler dropped here
    m_then = nullptr;
    if (m_blockUnit != kParamBroadcastUnit) {
        m_address = m_blockUnit;
    }
    next();
}

// On the serial line at a given rate, silence most often means another rate.
std::string ModuleJob::NoReplyHint() const {
    if (!m_serial || !m_options.baud) {
        return {};
    }
    return " at " + std::to_string(*m_options.baud) +
           " baud: is the module set to that rate? Without --baud the rates are searched";
}

// params set: the block is read; the caller plans the write and confirms it (Write), or ends.
void ModuleJob::Park() {
    if (RefuseBroadcastAddress()) {
        return;
    }
    m_planBlock = m_block;
    m_result.status = JobResult::kDone;
    m_result.unit = m_address;
    m_result.params = m_block;
    if (m_handlers.parked) {
        m_handlers.parked();
    }
}

void ModuleJob::Write(const DeviceParams& block) {
    m_blockToWrite = block;
    m_writing = true;
    ReadBlock(m_address, [this] { WriteIfUnchanged(); });
}

// Just before the write, the block must still be the one the plan was made on: someone else
// may have changed it, or another module may answer now.
void ModuleJob::WriteIfUnchanged() {
    if (m_block.bytes != m_planBlock.bytes) {
        m_writing = false;
        Fail(JobResult::kNoAnswer, "the module's parameters changed since they were read (" +
                                       ChangesText(m_planBlock, m_block) + "); nothing written");
        return;
    }
    WriteBlock();
}

// The four registers 100 ms apart, the address last, each to the address in force; their echoes
// are watched but not waited for, as in the panel. 300 ms after the last the block is read back.
void ModuleJob::WriteBlock() {
    const Framing framing = m_link->LinkFraming();
    auto frames = ParamWriteFrames(*m_blockToWrite, m_address, framing);
    ParamWrite::Steps steps;
    steps.beforeFrame = [this, frames, framing](std::size_t index, std::size_t) {
        m_then = nullptr;
        Watch({m_address, kFuncWriteRegister, 0, RegisterName(frames[index], framing)});
        return true;
    };
    steps.afterFrame = [this](std::size_t, bool sent) { m_writesSent += sent ? 1 : 0; };
    steps.settle = ParamWrite::kFramePause;
    steps.readBack = [this] {
        // With --unit, from the address it now answers to.
        const Byte newAddress = m_blockToWrite->bytes[0];
        ReadBlock(m_options.unit ? std::optional<Byte>(newAddress) : std::nullopt,
                  [this] { CompareReadBack(); });
    };
    m_write.Start(*m_link, std::move(frames), std::move(steps));
}

void ModuleJob::CompareReadBack() {
    m_writing = false;
    m_result.params = m_block;
    const std::string differences = ChangesText(*m_blockToWrite, m_block);
    if (!differences.empty()) {
        Fail(JobResult::kNoAnswer,
             "the module holds other parameters than were written: " + differences);
        return;
    }
    // As the panel says on the serial line: the module takes its new settings when restarted.
    const std::string restart = m_serial ? " (Set complete!please reboot device!)" : "";
    Succeed("written and read back: " + BlockText(m_block) + restart,
            "\"written\":true," + BlockJson(m_block));
}

// ---- the commands ----------------------------------------------------------------------------

void ModuleJob::RunCommand() {
    m_result.params = m_block;
    switch (m_command) {
        case cli::Command::Relay:
            SwitchRelay();
            break;
        case cli::Command::Di:
            QueryDi();
            break;
        case cli::Command::Ai:
            QueryAi();
            break;
        case cli::Command::Watch:
            m_watching = true;
            break;
        case cli::Command::ParamsSet:
            Park();
            break;
        default:  // params
            Succeed(BlockText(m_block), BlockJson(m_block));
            break;
    }
}

// Unit 0 is the broadcast address: no module answers it, every module on a line obeys it.
bool ModuleJob::RefuseBroadcastAddress() {
    if (m_address != 0) {
        return false;
    }
    Fail(JobResult::kNoAnswer,
         "the module reports address 0, the broadcast address, which no module answers: "
         "nothing sent to it");
    return true;
}

void ModuleJob::SendCommandFrame(int k, std::string name, ReplyHandler then) {
    if (RefuseBroadcastAddress()) {
        return;
    }
    StoreCommandUnit(k, m_address);
    const auto frame = FrameCommand(k, m_link->LinkFraming());
    Ask(std::vector<Byte>(frame.begin(), frame.end()), ReplyWatch::ForCommand(k, std::move(name)),
        std::move(then));
}

void ModuleJob::SwitchRelay() {
    const int relay = m_options.relay;
    const int k = kCmdRelay1On + 2 * (relay - 1) + (m_options.relayOn ? 0 : 1);
    SendCommandFrame(k, m_result.command, [this, relay](const auto& frame) {
        const ReplyEffect effect = DecodeNetworkFrame(frame, m_address);
        if (effect.kind != ReplyEffect::Kind::Indicator) {
            Fail(JobResult::kNoAnswer, "the module's echo names no relay state");
            return;
        }
        Succeed("RL" + std::to_string(relay) + " " + OnOff(effect.checked),
                "\"relay\":" + std::to_string(relay) +
                    ",\"on\":" + (effect.checked ? "true" : "false"));
    });
}

void ModuleJob::QueryDi() {
    SendCommandFrame(kCmdQueryDi, "the DI query", [this](const auto& frame) {
        const ReplyEffect effect = DecodeNetworkFrame(frame, m_address);
        std::string text;
        std::string json = "\"di\":[";
        for (int n = 0; n < 4; ++n) {
            const bool on = ((effect.diBits >> n) & 1U) != 0;
            text += (n ? " DI" : "DI") + std::to_string(n + 1) + "=" + OnOff(on);
            json += (n ? "," : "") + std::string(on ? "true" : "false");
        }
        Succeed(text, json + "]");
    });
}

void ModuleJob::QueryAi() {
    SendCommandFrame(kCmdQueryAi, "the AI query", [this](const auto& frame) {
        const ReplyEffect effect = DecodeNetworkFrame(frame, m_address);
        if (frame.size() < 7) {
            Fail(JobResult::kNoAnswer, "the AI reply is too short for two inputs");
            return;
        }
        const std::uint16_t raw1 = ReadWord(frame, 3);
        const std::uint16_t raw2 = ReadWord(frame, 5);
        Succeed("AI1=" + FormatFloatField(effect.ai1) + " V (" + std::to_string(raw1) +
                    ") AI2=" + FormatFloatField(effect.ai2) + " V (" + std::to_string(raw2) + ")",
                "\"ai1\":" + JsonNumber(effect.ai1) + ",\"ai1_raw\":" + std::to_string(raw1) +
                    ",\"ai2\":" + JsonNumber(effect.ai2) + ",\"ai2_raw\":" + std::to_string(raw2));
    });
}

// A report the module sends of its own accord: a DI upload (function 5 from another unit) or
// the periodic AI upload (function 4).
void ModuleJob::ReportEvent(const std::vector<Byte>& frame) {
    const ReplyEffect effect = DecodeNetworkFrame(frame, m_address);
    if (effect.kind == ReplyEffect::Kind::Indicator &&
        effect.set == ReplyEffect::IndicatorSet::Di) {
        const std::string input = std::to_string(effect.index + 1);
        Tell({"DI" + input + "=" + OnOff(effect.checked),
              "\"event\":\"di\",\"input\":" + input +
                  ",\"on\":" + (effect.checked ? "true" : "false")});
    } else if (effect.kind == ReplyEffect::Kind::Analog && frame.size() >= 7) {
        Tell({"AI1=" + FormatFloatField(effect.ai1) + " V AI2=" + FormatFloatField(effect.ai2) +
                  " V",
              "\"event\":\"ai\",\"ai1\":" + JsonNumber(effect.ai1) + ",\"ai1_raw\":" +
                  std::to_string(ReadWord(frame, 3)) + ",\"ai2\":" + JsonNumber(effect.ai2) +
                  ",\"ai2_raw\":" + std::to_string(ReadWord(frame, 5))});
    }
}

void ModuleJob::Tell(const JobEvent& event) const {
    if (m_handlers.event) {
        m_handlers.event(event);
    }
}

// ---- the end ----------------------------------------------------------------------------------

void ModuleJob::Succeed(std::string text, std::string json) {
    m_result.status = JobResult::kDone;
    m_result.unit = m_address;
    m_result.text = std::move(text);
    m_result.json = std::move(json);
    End();
}

void ModuleJob::Fail(int status, const std::string& error) {
    if (m_ended) {
        return;
    }
    m_result.status = status;
    m_result.error = error;
    if (m_address != 0) {
        m_result.unit = m_address;
    }
    End();
}

// A link that did what was asked stays open for the next round of --poll.
void ModuleJob::End() {
    if (m_ended) {
        return;
    }
    m_ended = true;
    StopTimers();
    m_then = nullptr;
    m_readingBlock = false;
    m_result.at = std::chrono::system_clock::now();
    if (m_options.pollMs == 0 || m_result.status != JobResult::kDone) {
        CloseLink();
    }
    if (m_handlers.finished) {
        m_handlers.finished();
    }
}
