// The window side of the device search: the device list, the search button, and a click on a
// row that takes the module's address and port into the fields.
#include <QComboBox>
#include <QEvent>
#include <QHeaderView>
#include <QMouseEvent>
#include <QTreeWidget>
#include <memory>

#include "kestrel_dlg.h"
#include "message_box.h"
#include "report_lines.h"

namespace {

// The framing the "Protocol:" box shows; none when it shows no item.
std::optional<Framing> ShownFraming(const QComboBox* protocol) {
    switch (ComboSelection(protocol)) {
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
    const auto& columns = DeviceSearch::kColumns;
    m_listDevices->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_listDevices->setColumnCount(static_cast<int>(columns.size()));
    QStringList headings;
    for (const DeviceSearch::Column& column : columns) {
        headings << QString::fromLatin1(column.heading);
    }
    m_listDevices->setHeaderLabels(headings);
    for (std::size_t n = 0; n < columns.size(); ++n) {
        m_listDevices->setColumnWidth(static_cast<int>(n), columns[n].width);
        m_listDevices->headerItem()->setTextAlignment(static_cast<int>(n), Qt::AlignLeft);
    }
    m_listDevices->viewport()->installEventFilter(this);
}

void CKestrelDlg::LoadSearchLibrary() {
    if (!m_deviceSearch.Load(m_searchLibraryName)) {
        KestrelMessageBox(this, QStringLiteral("Load library failed!"), MessageIcon::None);
    }
}

// The library waits for answers for a second: its call runs on a thread of its own, and the old
// rows stay on view until the new ones come. The thread holds only the call and the count it
// returns, so a window that closes meanwhile does not wait for it.
void CKestrelDlg::OnSearchDevices() {
    if (!m_deviceSearch.Loaded()) {
        return;  // no library, no search
    }
    BeginOperation(QStringLiteral("Searching the network for modules..."));
    auto found = std::make_shared<int>(0);
    m_deviceSearchTask.Start([found, search = m_deviceSearch.SearchEntry()] { *found = search(); },
                             [this, found, framing = ShownFraming(m_cbProtocol)] {
                                 m_foundDevices = m_deviceSearch.FoundRows(*found, framing);
                                 EndOperation();
                                 ShowFoundDevices();
                             });
}

// An empty list alone would not tell a search that found nothing from one not yet made.
void CKestrelDlg::ShowFoundDevices() {
    m_listDevices->clear();
    if (m_foundDevices.empty()) {
        ShowOperationStatus(report_line::NoModuleAnswered());
    }
    for (const DeviceSearch::Row& texts : std::exchange(m_foundDevices, {})) {
        auto* row = new QTreeWidgetItem(m_listDevices);
        for (std::size_t n = 0; n < texts.size(); ++n) {
            row->setText(static_cast<int>(n), texts[n]);
        }
    }
}

void CKestrelDlg::OnClickDeviceList() {
    if (m_deviceSearchTask.Running()) {
        return;  // the library is busy with a search, and the rows are about to go
    }
    for (int row = 0; row < m_listDevices->topLevelItemCount(); ++row) {
        if (m_listDevices->topLevelItem(row)->isSelected()) {
            if (const auto address = m_deviceSearch.RowAddress(row)) {
                m_strIP = address->host;
                m_nPort = address->port;
                UpdateData(false);
            }
            return;
        }
    }
}

bool CKestrelDlg::eventFilter(QObject* watched, QEvent* event) {
    // A click is a left-button release; the list has updated its selection by the time the
    // queued handler runs, as after a click notification.
    if (watched == m_listDevices->viewport() && event->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        QMetaObject::invokeMethod(this, &CKestrelDlg::OnClickDeviceList, Qt::QueuedConnection);
    }
    return CTemplateDialog::eventFilter(watched, event);
}
