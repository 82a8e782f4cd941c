// The window side of the device search: the device list, the search button, and a click on a
// row that takes the module's address and port into the fields.
#include <memory>

#include "kestrel_dlg.h"
#include "main_template.h"
#include "report_lines.h"

namespace {

// The framing the "Protocol:" box shows; none when it shows no item.
std::optional<Framing> ShownFraming(const DialogPort& port) {
    switch (port.ComboSelection(IDC_PROTOCOL)) {
        case 0:
            return Framing::ModbusTcp;
        case 1:
            return Framing::ModbusRtu;
        default:
            return std::nullopt;
    }
}

}  // namespace

void CKestrelDlg::SetupDeviceList() {
    std::vector<ListColumn> columns;
    for (const DeviceSearch::Column& column : DeviceSearch::kColumns) {
        columns.push_back({column.heading, column.width});
    }
    Port().SetListColumns(IDC_DEVICE_LIST, columns);
}

void CKestrelDlg::LoadSearchLibrary() {
    if (!m_deviceSearch.Load(m_searchLibraryName)) {
        ShowMessage(Port(), "Load library failed!", MessageIcon::None);
    }
}

// The library waits for answers for a second: its call runs on a thread of its own, and the old
// rows stay on view until the new ones come. The thread holds only the call and the count it
// returns, so a window that closes meanwhile does not wait for it.
void CKestrelDlg::OnSearchDevices() {
    if (!m_deviceSearch.Loaded()) {
        return;  // no library, no search
    }
    BeginOperation("Searching the network for modules...");
    auto found = std::make_shared<int>(0);
    m_deviceSearchTask.Start([found, search = m_deviceSearch.SearchEntry()] { *found = search(); },
                             [this, found, framing = ShownFraming(Port())] {
                                 m_foundDevices = m_deviceSearch.FoundRows(*found, framing);
                                 EndOperation();
                                 ShowFoundDevices();
                             });
}

// An empty list alone would not tell a search that found nothing from one not yet made.
void CKestrelDlg::ShowFoundDevices() {
    if (m_foundDevices.empty()) {
        ShowOperationStatus(report_line::NoModuleAnswered());
    }
    std::vector<ListRow> rows;
    for (const DeviceSearch::Row& texts : std::exchange(m_foundDevices, {})) {
        rows.emplace_back(texts.begin(), texts.end());
    }
    Port().SetListRows(IDC_DEVICE_LIST, rows);
}

void CKestrelDlg::OnClickDeviceList() {
    if (m_deviceSearchTask.Running()) {
        return;  // the library is busy with a search, and the rows are about to go
    }
    const int row = Port().SelectedListRow(IDC_DEVICE_LIST);
    if (row < 0) {
        return;
    }
    if (const auto address = m_deviceSearch.RowAddress(row)) {
        m_strIP = address->host;
        m_nPort = address->port;
        UpdateData(false);
    }
}
