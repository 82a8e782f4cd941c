#include "device_search.h"

#include <array>
#include <cstring>
#include <string>

#include "codec.h"
#include "search_library_binding.h"
#include "trace.h"

namespace {

constexpr int kNeededBaudIndex = 11;

// The library keeps the port's two bytes in network order in the low 16 bits (what ntohs takes).
std::uint16_t HostPort(int networkOrder) {
    const auto stored = static_cast<std::uint16_t>(networkOrder & 0xFFFF);
    std::array<Byte, sizeof stored> wire{};
    std::memcpy(wire.data(), &stored, wire.size());
    return ReadWord(wire, 0);
}

// The library's texts are in the system's encoding (UTF-8 here); none is an empty text.
std::string Text(const char* text) {
    return text != nullptr ? std::string(text) : std::string();
}

std::uint8_t Low8(int code) {
    return static_cast<std::uint8_t>(code & 0xFF);
}

std::string ProtocolVerdict(std::uint8_t moduleCode, std::optional<Framing> chosen) {
    if (moduleCode == 1 && chosen == Framing::ModbusTcp) {
        return "MODBUS TCP";
    }
    if (moduleCode == 0 && chosen == Framing::ModbusRtu) {
        return "MODBUS RTU!";
    }
    return "Protocol Error!";
}

// Asked in this order, stopping at the first that does not fit.
std::string UartVerdict(const SearchLibrary& library, int index) {
    const bool correct = Low8(library.QBDM_GetBaudrateIndex(index)) == kNeededBaudIndex &&
                         Low8(library.QBDM_GetParity(index)) == 0 &&
                         Low8(library.QBDM_GetDataBits(index)) == 0;
    return correct ? "Correct!" : "Error!";
}

}  // namespace

const std::array<DeviceSearch::Column, DeviceSearch::kColumnCount> DeviceSearch::kColumns = {{
    {"Name", 80},
    {"IP", 100},
    {"Port", 50},
    {"Work Mode", 130},
    {"Protocol", 130},
    {"Uart Param", 80},
}};

DeviceSearch::DeviceSearch() : m_library(std::make_unique<SearchLibrary>()) {}

DeviceSearch::~DeviceSearch() = default;

bool DeviceSearch::Load(const char* libraryName) {
    *m_library = LoadSearchLibraryByName(libraryName);
    return Loaded();
}

bool DeviceSearch::Loaded() const {
    return m_library->Complete();
}

std::vector<DeviceSearch::Row> DeviceSearch::Search(std::optional<Framing> chosen) const {
    const SearchCall search = SearchEntry();
    return search != nullptr ? FoundRows(search(), chosen) : std::vector<Row>{};
}

// The caller is about to start the search: the traffic monitor is told so here.
DeviceSearch::SearchCall DeviceSearch::SearchEntry() const {
    if (!Loaded()) {
        return nullptr;
    }
    TraceLinkEvent(TraceLink{"Search"}, trace_kind::kStep, "network search started");
    return m_library->QBDM_StartSearchDev;
}

std::vector<DeviceSearch::Row> DeviceSearch::FoundRows(int result,
                                                       std::optional<Framing> chosen) const {
    const SearchLibrary& library = *m_library;
    if (!library.Complete()) {
        return {};
    }
    const auto count = static_cast<std::uint16_t>(result & 0xFFFF);
    TraceLinkEvent(TraceLink{"Search"}, trace_kind::kStep,
                   "network search found " + std::to_string(count));
    std::vector<Row> rows;
    rows.reserve(count);
    for (int i = 0; i < count; ++i) {
        rows.push_back({
            Text(library.QBDM_GetDevName(i)),
            Text(library.QBDM_GetIP(i)),
            std::to_string(HostPort(library.QBDM_GetPort(i))),
            Low8(library.QBDM_GetWorkMode(i)) == 0 ? "TCP Server" : "WorkMode Error!",
            ProtocolVerdict(Low8(library.QBDM_GetAppProtocol(i)), chosen),
            UartVerdict(library, i),
        });
    }
    return rows;
}

std::optional<DeviceSearch::Address> DeviceSearch::RowAddress(int row) const {
    if (!Loaded()) {
        return std::nullopt;
    }
    return Address{Text(m_library->QBDM_GetIP(row)), HostPort(m_library->QBDM_GetPort(row))};
}
