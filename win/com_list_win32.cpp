#include "com_list_win32.h"

#include <string>

#include "serial_port.h"

namespace {

constexpr COLORREF kMarkFill = RGB(0x43, 0xA0, 0x47);
constexpr COLORREF kMarkEdge = RGB(0x1B, 0x5E, 0x20);
constexpr int kMarkSize = 10;
constexpr int kGap = 4;

std::wstring ItemText(HWND combo, UINT index) {
    const LRESULT length = SendMessageW(combo, CB_GETLBTEXTLEN, index, 0);
    if (length == CB_ERR) {
        return {};
    }
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    SendMessageW(combo, CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(text.data()));
    text.resize(static_cast<std::size_t>(length));
    return text;
}

void DrawMark(HDC dc, const RECT& row, int left) {
    const int top = row.top + (row.bottom - row.top - kMarkSize) / 2;
    HBRUSH fill = CreateSolidBrush(kMarkFill);
    HPEN edge = CreatePen(PS_SOLID, 1, kMarkEdge);
    HGDIOBJ oldBrush = SelectObject(dc, fill);
    HGDIOBJ oldPen = SelectObject(dc, edge);
    Ellipse(dc, left, top, left + kMarkSize, top + kMarkSize);
    SelectObject(dc, oldPen);
    SelectObject(dc, oldBrush);
    DeleteObject(edge);
    DeleteObject(fill);
}

}  // namespace

void ComList::Attach(HWND combo) {
    m_combo = combo;
    SendMessageW(combo, CB_SETITEMHEIGHT, 0, ItemHeight());
}

bool ComList::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_COMMAND:
            if (LOWORD(wParam) != m_id || HIWORD(wParam) != CBN_DROPDOWN) {
                return false;
            }
            m_combo = reinterpret_cast<HWND>(lParam);
            MarkPorts();
            return true;
        case WM_MEASUREITEM: {
            auto* measure = reinterpret_cast<MEASUREITEMSTRUCT*>(lParam);
            if (measure->CtlType != ODT_COMBOBOX || static_cast<int>(measure->CtlID) != m_id) {
                return false;
            }
            measure->itemHeight = static_cast<UINT>(ItemHeight());
            return true;
        }
        case WM_DRAWITEM: {
            const auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
            if (item->CtlType != ODT_COMBOBOX || static_cast<int>(item->CtlID) != m_id) {
                return false;
            }
            Draw(*item);
            return true;
        }
        default:
            return false;
    }
}

// Item n is port n + 1.
void ComList::MarkPorts() {
    const auto count = static_cast<int>(SendMessageW(m_combo, CB_GETCOUNT, 0, 0));
    m_present.assign(static_cast<std::size_t>(count > 0 ? count : 0), false);
    for (int index = 0; index < count; ++index) {
        const bool present = ComDeviceExists(index + 1);
        m_present[static_cast<std::size_t>(index)] = present;
        SendMessageW(m_combo, CB_SETITEMDATA, static_cast<WPARAM>(index), present ? 1 : 0);
    }
}

// The mark's place is kept on every row, so the names stay in one column.
void ComList::Draw(const DRAWITEMSTRUCT& item) const {
    const bool selected = (item.itemState & ODS_SELECTED) != 0;
    FillRect(item.hDC, &item.rcItem, GetSysColorBrush(selected ? COLOR_HIGHLIGHT : COLOR_WINDOW));
    if (item.itemID != static_cast<UINT>(-1)) {
        const int left = item.rcItem.left + kGap;
        if (item.itemID < m_present.size() && m_present[item.itemID]) {
            DrawMark(item.hDC, item.rcItem, left);
        }
        RECT text = item.rcItem;
        text.left = left + kMarkSize + kGap;
        const std::wstring name = ItemText(item.hwndItem, item.itemID);
        SetBkMode(item.hDC, TRANSPARENT);
        SetTextColor(item.hDC, GetSysColor(selected ? COLOR_HIGHLIGHTTEXT : COLOR_WINDOWTEXT));
        DrawTextW(item.hDC, name.c_str(), static_cast<int>(name.size()), &text,
                  DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX);
    }
    if ((item.itemState & ODS_FOCUS) != 0) {
        DrawFocusRect(item.hDC, &item.rcItem);
    }
}

// A line of the box's font, and room for the mark.
int ComList::ItemHeight() const {
    HDC dc = GetDC(m_combo);
    auto font = reinterpret_cast<HFONT>(SendMessageW(m_combo, WM_GETFONT, 0, 0));
    HGDIOBJ old = font != nullptr ? SelectObject(dc, font) : nullptr;
    TEXTMETRICW metrics{};
    GetTextMetricsW(dc, &metrics);
    if (old != nullptr) {
        SelectObject(dc, old);
    }
    ReleaseDC(m_combo, dc);
    const int line = static_cast<int>(metrics.tmHeight) + 2;
    return line > kMarkSize + 2 ? line : kMarkSize + 2;
}
