#include "serial_link.h"

#include <algorithm>
#include <array>
#include <utility>

#include "codec.h"
#include "device_params.h"
#include "serial_port.h"
#include "serial_rates.h"
#include "serial_reader.h"
#include "stream_framer.h"
#include "trace.h"

namespace {

constexpr std::uint32_t kSearchBufferSize = 32;
constexpr std::size_t kMinParamsReply = 11;  // unit, function, count, three registers, CRC
constexpr std::uint32_t kOpenBaud = 1200;

// The parameter-read reply among the `got` bytes of one search read: the first whole frame with a
// good CRC and function 3 that carries at least three registers; empty when there is none. Line
// noise and damaged replies never pass. Every frame read goes to the traffic trace as rx, every
// run of other bytes as drop.
std::vector<Byte> FindParamsReply(std::span<const Byte> read, const TraceLink& link) {
    std::vector<Byte> reply;
    std::vector<Byte> dropped;
    const auto traceDropped = [&] {
        if (!dropped.empty()) {
            TraceFrame(link, "drop", dropped);
            dropped.clear();
        }
    };
    StreamFramer framer(Framing::ModbusRtu, Direction::Reply);
    framer.Append(read);
    while (const auto piece = framer.Next()) {
        const std::span<const Byte> bytes = piece->bytes;
        if (!piece->IsFrame()) {
            dropped.insert(dropped.end(), bytes.begin(), bytes.end());
            continue;
        }
        traceDropped();
        TraceFrame(link, "rx", bytes);
        if (reply.empty() && bytes.size() >= kMinParamsReply && bytes[1] == kFuncReadHolding) {
            reply.assign(bytes.begin(), bytes.end());
        }
    }
    const auto unfinished = read.last(framer.Buffered());  // a frame cut short by the read's end
    dropped.insert(dropped.end(), unfinished.begin(), unfinished.end());
    traceDropped();
    return reply;
}

}  // namespace

SerialLink::SerialLink(CSerialPort& port, Handlers handlers)
    : m_port(port), m_handlers(std::move(handlers)), m_handover(m_handlers.wakeUi) {}

SerialLink::~SerialLink() {
    EndSearch();
    StopReader();
}

bool SerialLink::Open(int com) {
    m_com = com;
    m_baud = kOpenBaud;
    m_device.clear();
    const bool opened = m_port.Open(com, kOpenBaud, 8, 0, 0);
    return TraceOpening(TraceSource(), opened, opened ? m_port.DevicePath() : OpenFailureLine());
}

bool SerialLink::OpenDevice(const std::string& path) {
    m_com = 0;
    m_device = path;
    const bool opened = m_port.OpenDevice(path, kOpenBaud, 8, 0, 0);
    return TraceOpening(TraceSource(), opened, opened ? m_port.DevicePath() : OpenFailureLine());
}

void SerialLink::Close() {
    EndSearch();
    StopReader();
    TraceClosing(TraceSource(), m_port.IsOpen());
    m_port.Close();
}

bool SerialLink::IsOpen() const {
    return m_port.IsOpen();
}

std::string SerialLink::OpenFailureLine() const {
    const std::string& path = m_port.DevicePath();
    return "Open " + TraceName() + " failed: " + m_port.LastError() + " (" +
           (path.empty() ? std::string("no device") : path) + ")";
}

std::string SerialLink::LostLine() const {
    return TraceName() + " was lost (" + m_port.DevicePath() +
           " hung up or failed); the port is closed";
}

bool SerialLink::Send(std::span<const Byte> frame) {
    TraceFrame(TraceSource(), "tx", frame);
    m_port.Write(frame.data(), static_cast<std::uint32_t>(frame.size()));
    return true;
}

SerialLink::SearchResult SerialLink::Search(Byte address, const std::function<bool()>& ended) {
    const bool readerWasRunning = ReaderRunning();
    StopReader();  // one reader at most, and the search reads alone
    const SearchResult result = RunSearch(address, ended, {});
    ResumeAfterSearch(result, readerWasRunning);
    return result;
}

// Everything the thread hands over goes through the hand-over, which stays open for it while no
// reader runs. A write that fails shows its message through the port's sink, which the owner
// routes to its own thread.
void SerialLink::StartSearch(Byte address, SearchHandlers handlers) {
    EndSearch();
    const bool readerWasRunning = ReaderRunning();
    StopReader();
    m_handover.Open();
    m_searchEnding.store(false);
    m_searchThread = std::thread([this, address, readerWasRunning, h = std::move(handlers)] {
        const auto noteRate = [this, &h](std::uint32_t baud) {
            if (h.onRate) {
                m_handover.Post([onRate = h.onRate, baud] { onRate(baud); });
            }
        };
        const SearchResult result = RunSearch(
            address, [this] { return m_searchEnding.load(); }, noteRate);
        m_handover.Post([this, result, readerWasRunning, onEnd = h.onEnd] {
            m_searchThread.join();
            ResumeAfterSearch(result, readerWasRunning);
            if (onEnd) {
                onEnd(result);
            }
        });
    });
}

void SerialLink::EndSearch() {
    if (!m_searchThread.joinable()) {
        return;
    }
    m_searchEnding.store(true);
    m_port.WakeWaiter();  // a read that waits returns at once
    m_handover.Close();   // releases a message the thread waits on, and drops its outcome
    m_searchThread.join();
}

SerialLink::SearchResult SerialLink::RunSearch(Byte address, const std::function<bool()>& ended,
                                               const RateNotice& onRate) {
    m_port.ForgetWake();  // only an end asked of this search may cut its reads short
    SearchResult result;
    for (std::size_t step = 0; step < kSerialRates.size(); ++step) {
        if (onRate) {
            onRate(kSerialRates.at(step).baud);
        }
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (ended() || CSerialPort::Ending()) {
                result.end = SearchResult::End::Ended;
                return result;
            }
            if (AskAtRate(step, attempt, address, result)) {
                return result;
            }
            if (m_port.LineLost()) {
                result.end = SearchResult::End::LineLost;
                return result;
            }
        }
    }
    return result;
}

// Found: the reader runs at the module's rate. NotFound: the port stays open, so what comes in is
// still read, at the rate the search left it at, by a reader that ran before.
void SerialLink::ResumeAfterSearch(const SearchResult& result, bool readerWasRunning) {
    using End = SearchResult::End;
    if (result.end == End::Found || (result.end == End::NotFound && readerWasRunning)) {
        StartReader();
    }
}

bool SerialLink::AskAtRate(std::size_t step, int attempt, Byte address, SearchResult& result) {
    const SerialRate& settings = kSerialRates.at(step);
    if (m_port.IsOpen() && !m_port.LineLost()) {  // a lost line takes no write
        m_port.SetReadTimeout(settings.searchReadMultiplierMs);
        m_port.Configure(settings.baud, 8, 0, 0);
        m_baud = settings.baud;
        TraceLinkEvent(TraceSource(), trace_kind::kStep,
                       "search at " + std::to_string(settings.baud) + " baud");
        const int k = kCmdReadParams5 + attempt;
        StoreCommandUnit(k, address);
        Send(FrameCommand(k, Framing::ModbusRtu));
    }
    std::array<Byte, kSearchBufferSize> buffer{};
    const std::uint32_t got = m_port.Read(buffer.data(), kSearchBufferSize);
    const std::vector<Byte> reply = FindParamsReply({buffer.data(), got}, TraceSource());
    if (reply.empty()) {
        return false;
    }
    // The block takes what the reply carries: at most its ten bytes, never more than arrived.
    const std::size_t count =
        std::min<std::size_t>({reply[2], DeviceParams{}.bytes.size(), reply.size() - 3});
    result = {SearchResult::End::Found, static_cast<int>(step), reply[3],
              std::vector<Byte>(reply.begin() + 3, reply.begin() + 3 + static_cast<long>(count))};
    return true;
}

void SerialLink::StartReader() {
    m_port.SetReadTimeout(0);  // the reader's reads hand on at once what has come
    m_handover.Open();
    m_reader = std::make_unique<CSerialReader>(
        m_port, m_handlers.onFrame, [this] { m_handover.Post(m_handlers.onLineLost); },
        TraceSource());
    m_reader->Start();
}

// A notice or call still queued belongs to a reader that is ending: it is dropped, and a reader
// waiting for its call is released before it is joined.
void SerialLink::StopReader() {
    m_handover.Close();
    if (m_reader) {
        m_reader->Stop();
        m_reader.reset();
    }
}
