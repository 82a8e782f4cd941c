#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "frames.h"

struct SearchLibrary;

// The search for modules on the local network through the device-search library: the library
// loaded by name, and each module found as a row of texts (UTF-8) with the verdicts on its
// settings. It knows no window.
class DeviceSearch {
  public:
    static constexpr std::size_t kColumnCount = 6;
    using Row = std::array<std::string, kColumnCount>;
    struct Column {
        const char* heading;
        int width;
    };
    static const std::array<Column, kColumnCount> kColumns;

    DeviceSearch();
    ~DeviceSearch();
    DeviceSearch(const DeviceSearch&) = delete;
    DeviceSearch& operator=(const DeviceSearch&) = delete;

    // False when the library or one of its functions is missing; searches then find nothing.
    bool Load(const char* libraryName);
    bool Loaded() const;

    // Searches and gives a row for each module found: name, address, port, work mode, protocol
    // and line settings, the last three as verdicts. The protocol verdict compares the module's
    // protocol with the framing chosen (none: no framing fits).
    std::vector<Row> Search(std::optional<Framing> chosen) const;

    // The same in two steps, for a search on a thread of its own (BackgroundTask). The library's
    // search call blocks for the search's window and returns its result; being the library's
    // entry point, it uses nothing of this object and may still be running after it is gone.
    // Null when the library is not loaded.
    using SearchCall = int (*)();
    SearchCall SearchEntry() const;
    // The rows of the modules the last search found, `result` being what its call returned.
    std::vector<Row> FoundRows(int result, std::optional<Framing> chosen) const;

    struct Address {
        std::string host;
        std::uint16_t port;
    };
    // The address and port of the module in row `row` of the last search.
    std::optional<Address> RowAddress(int row) const;

  private:
    std::unique_ptr<SearchLibrary> m_library;
};
