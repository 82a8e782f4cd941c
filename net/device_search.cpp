// The device list of the main window: modules of the local network found through the
// device-search library, with a verdict on each, and a click that takes one's address.
#include <QComboBox>
#include <QEvent>
#include <QHeaderView>
#include <QMouseEvent>
#include <QTreeWidget>
#include <array>
#include <cstring>

#include "codec.h"
#include "kestrel_dlg.h"
#include "message_box.h"
#include "search_library_binding.h"

namespace {

struct Column {
    const char* heading;
    int width;
};

constexpr std::array<Column, 6> kColumns = {{
    {"Name", 80},
    {"IP", 100},
    {"Port", 50},
    {"Work Mode", 130},
    {"Protocol", 130},
    {"Uart Param", 80},
}};

constexpr int kNeededBaudIndex = 11;

// The library keeps the port's two bytes in network order in the low 16 bits (what ntohs takes).
std::uint16_t HostPort(int networkOrder) {
    const auto stored = static_cast<std::uint16_t>(networkOrder & 0xFFFF);
    std::array<Byte, sizeof stored> wire{};
    std::memcpy(wire.data(), &stored, wire.size());
    return ReadWord(wire, 0);
}

std::uint8_t Low8(int code) {
    return static_cast<std::uint8_t>(code & 0xFF);
}

QString ProtocolVerdict(std::uint8_t moduleCode, int selection) {
    if (moduleCode == 1 && selection == 0) {
        return QStringLiteral("MODBUS TCP");
    }
    if (moduleCode == 0 && selection == 1) {
        return QStringLiteral("MODBUS RTU!");
    }
    return QStringLiteral("Protocol Error!");
}

// Asked in this order, stopping at the first that does not fit.
QString UartVerdict(const SearchLibrary& library, int index) {
    const bool correct = Low8(library.QBDM_GetBaudrateIndex(index)) == kNeededBaudIndex &&
                         Low8(library.QBDM_GetParity(index)) == 0 &&
                         Low8(library.QBDM_GetDataBits(index)) == 0;
    return correct ? QStringLiteral("Correct!") : QStringLiteral("Error!");
}

}  // namespace

void CKestrelDlg::SetupDeviceList() {
    m_listDevices->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_listDevices->setColumnCount(static_cast<int>(kColumns.size()));
    QStringList headings;
    for (const Column& column : kColumns) {
        headings << QString::fromLatin1(column.heading);
    }
    m_listDevices->setHeaderLabels(headings);
    for (std::size_t n = 0; n < kColumns.size(); ++n) {
        m_listDevices->setColumnWidth(static_cast<int>(n), kColumns[n].width);
        m_listDevices->headerItem()->setTextAlignment(static_cast<int>(n), Qt::AlignLeft);
    }
    m_listDevices->viewport()->installEventFilter(this);
}

void CKestrelDlg::LoadSearchLibrary() {
    m_searchLibrary = std::make_unique<SearchLibrary>(LoadSearchLibraryByName(m_searchLibraryName));
    if (!m_searchLibrary->Complete()) {
        KestrelMessageBox(this, QStringLiteral("Load library failed!"), MessageIcon::None);
    }
}

void CKestrelDlg::OnSearchDevices() {
    const SearchLibrary& library = *m_searchLibrary;
    if (!library.Complete()) {
        return;  // no library, no search
    }
    const auto count = static_cast<std::uint16_t>(library.QBDM_StartSearchDev() & 0xFFFF);
    m_listDevices->clear();
    const int selection = ComboSelection(m_cbProtocol);
    for (int i = 0; i < count; ++i) {
        auto* row = new QTreeWidgetItem(m_listDevices);
        row->setText(0, QString::fromLocal8Bit(library.QBDM_GetDevName(i)));
        row->setText(1, QString::fromLocal8Bit(library.QBDM_GetIP(i)));
        row->setText(2, QString::number(HostPort(library.QBDM_GetPort(i))));
        row->setText(3, Low8(library.QBDM_GetWorkMode(i)) == 0 ? QStringLiteral("TCP Server")
                                                               : QStringLiteral("WorkMode Error!"));
        row->setText(4, ProtocolVerdict(Low8(library.QBDM_GetAppProtocol(i)), selection));
        row->setText(5, UartVerdict(library, i));
    }
}

void CKestrelDlg::OnClickDeviceList() {
    const SearchLibrary& library = *m_searchLibrary;
    for (int row = 0; row < m_listDevices->topLevelItemCount(); ++row) {
        if (m_listDevices->topLevelItem(row)->isSelected()) {
            if (!library.Complete()) {
                return;
            }
            m_strIP = QString::fromLocal8Bit(library.QBDM_GetIP(row));
            m_nPort = HostPort(library.QBDM_GetPort(row));
            UpdateData(false);
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
