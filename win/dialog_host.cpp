#include "dialog_host.h"

#include <commctrl.h>

#include "dialog_template_win32.h"

namespace {

constexpr int kDialogPointSize = 9;
constexpr int kIdCancel = 2;
// Posted to itself after a click in a list, so the panel hears of it once the list has taken
// its new selection and the click's notification has returned.
constexpr UINT kListClickMessage = WM_APP + 1;

std::wstring WindowText(HWND hwnd) {
    std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(hwnd)) + 1, L'\0');
    text.resize(
        static_cast<std::size_t>(GetWindowTextW(hwnd, text.data(), static_cast<int>(text.size()))));
    return text;
}

// A report shows its lines with the system's line ends, whatever they were given with.
std::wstring ShownLines(const std::wstring& text) {
    std::wstring shown;
    for (std::size_t n = 0; n < text.size(); ++n) {
        if (text[n] == L'\n' && (n == 0 || text[n - 1] != L'\r')) {
            shown += L'\r';
        }
        shown += text[n];
    }
    return shown;
}

// F1 reaches the control with the focus, and the dialog's own loop sees it first: a message
// filter on that loop hands it to the dialog the control is in.
LRESULT CALLBACK KeyFilter(int code, WPARAM wParam, LPARAM lParam);

void FilterDialogKeys() {
    thread_local HHOOK filter =
        SetWindowsHookExW(WH_MSGFILTER, KeyFilter, nullptr, GetCurrentThreadId());
    (void)filter;
}

// Whether a label's caption is the name of a field: "Port:" names "Port".
bool Names(const ItemTemplate& label, const char* name) {
    if (label.caption == nullptr) {
        return false;
    }
    std::string caption = label.caption;
    if (!caption.empty() && caption.back() == ':') {
        caption.pop_back();
    }
    return caption == name;
}

bool IsButton(ItemKind kind) {
    return kind == ItemKind::PushButton || kind == ItemKind::DefPushButton;
}

}  // namespace

std::wstring Wide(const std::string& utf8) {
    if (utf8.empty()) {
        return {};
    }
    const int size =
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), size);
    return wide;
}

std::string Utf8(const std::wstring& wide) {
    if (wide.empty()) {
        return {};
    }
    const int size = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(), size,
                        nullptr, nullptr);
    return utf8;
}

DialogHost::DialogHost(const DialogTemplate& dialogTemplate) : m_template(dialogTemplate) {
    for (const ItemTemplate& item : dialogTemplate.items) {
        if (item.id != kNoId) {
            m_kinds[item.id] = item.kind;
        }
    }
}

DialogHost::~DialogHost() {
    if (m_hwnd != nullptr) {
        DestroyWindow(m_hwnd);
    }
}

int DialogHost::Run(HWND owner) {
    FilterDialogKeys();
    const std::vector<std::uint8_t> bytes =
        BuildDialogTemplate(m_template, DialogFontFace(), kDialogPointSize, m_extraStyles);
    const INT_PTR result = DialogBoxIndirectParamW(
        GetModuleHandleW(nullptr), reinterpret_cast<LPCDLGTEMPLATEW>(bytes.data()), owner,
        DialogProc, reinterpret_cast<LPARAM>(this));
    return static_cast<int>(result);
}

INT_PTR CALLBACK DialogHost::DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
        reinterpret_cast<DialogHost*>(lParam)->OnInit(hwnd);
        return FALSE;  // the panel has set the focus
    }
    auto* host = reinterpret_cast<DialogHost*>(GetWindowLongPtrW(hwnd, DWLP_USER));
    if (host == nullptr) {
        return FALSE;
    }
    if (message == WM_NCDESTROY) {
        host->m_hwnd = nullptr;
        return FALSE;
    }
    return host->Handle(message, wParam, lParam);
}

// The dialog host of a window of ours (a dialog, or a control in one); null for any other.
DialogHost* DialogHost::OfWindow(HWND hwnd) {
    HWND dialog = GetAncestor(hwnd, GA_ROOT);
    if (dialog == nullptr ||
        GetWindowLongPtrW(dialog, DWLP_DLGPROC) != reinterpret_cast<LONG_PTR>(DialogProc)) {
        return nullptr;
    }
    return reinterpret_cast<DialogHost*>(GetWindowLongPtrW(dialog, DWLP_USER));
}

bool DialogHost::OnHelpKey(const MSG& message) {
    if (message.message != WM_KEYDOWN || message.wParam != VK_F1) {
        return false;
    }
    DialogHost* host = OfWindow(message.hwnd);
    if (host == nullptr || host->m_panel == nullptr) {
        return false;
    }
    host->m_panel->OnHelp();
    return true;
}

namespace {
LRESULT CALLBACK KeyFilter(int code, WPARAM wParam, LPARAM lParam) {
    if (code == MSGF_DIALOGBOX && DialogHost::OnHelpKey(*reinterpret_cast<const MSG*>(lParam))) {
        return TRUE;
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}
}  // namespace

// Assistive technology names a field without a caption by the label just before it in the
// dialog's z-order (which is the template order). A template may place a field's label anywhere:
// each label that names a field moves to just before it. Labels take no focus, so the tab order
// stays the template's.
void DialogHost::PutLabelsBeforeFields() {
    std::vector<HWND> children;
    for (HWND child = GetWindow(m_hwnd, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
        children.push_back(child);
    }
    const auto items = m_template.items;
    if (children.size() != items.size()) {
        return;
    }
    for (std::size_t field = 0; field < items.size(); ++field) {
        if (items[field].name == nullptr) {
            continue;
        }
        for (std::size_t label = 0; label < items.size(); ++label) {
            if (items[label].kind == ItemKind::Label && Names(items[label], items[field].name)) {
                HWND before = GetWindow(children[field], GW_HWNDPREV);
                if (before != children[label]) {
                    SetWindowPos(children[label], before != nullptr ? before : HWND_TOP, 0, 0, 0, 0,
                                 SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
                }
                break;
            }
        }
    }
}

void DialogHost::OnInit(HWND hwnd) {
    m_hwnd = hwnd;
    PutLabelsBeforeFields();
    for (const auto& [id, kind] : m_kinds) {
        if (kind == ItemKind::ListView) {
            ListView_SetExtendedListViewStyle(Item(id), LVS_EX_FULLROWSELECT);
        } else if (kind == ItemKind::ReportText) {
            SendMessageW(Item(id), EM_SETLIMITTEXT, 0, 0);  // no limit on what it can hold
        }
    }
    if (m_panel != nullptr) {
        m_panel->OnInitDialog(*this);
    }
    if (GetFocus() == nullptr || !IsChild(hwnd, GetFocus())) {
        ::SetFocus(GetNextDlgTabItem(hwnd, nullptr, FALSE));
    }
}

INT_PTR DialogHost::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_COMMAND:
            if (HIWORD(wParam) == BN_CLICKED || !OnMessage(message, wParam, lParam)) {
                OnCommandMessage(wParam, lParam);
            }
            return TRUE;
        case WM_NOTIFY: {
            const auto* header = reinterpret_cast<const NMHDR*>(lParam);
            if (header->code == static_cast<UINT>(NM_CLICK) &&
                KindOf(static_cast<int>(header->idFrom)) == ItemKind::ListView) {
                PostMessageW(m_hwnd, kListClickMessage, header->idFrom, 0);
            }
            return FALSE;
        }
        case kListClickMessage:
            if (m_panel != nullptr) {
                m_panel->OnListClick(static_cast<int>(wParam));
            }
            return TRUE;
        case WM_HELP:
            if (m_panel != nullptr) {
                m_panel->OnHelp();
            }
            return TRUE;
        default:
            return OnMessage(message, wParam, lParam) ? TRUE : FALSE;
    }
}

// Escape and the close box come as IDCANCEL; a click on a push button (Enter on the default
// one included) as its id. The notifications of fields and lists are not commands.
void DialogHost::OnCommandMessage(WPARAM wParam, LPARAM lParam) {
    const int id = LOWORD(wParam);
    const WORD code = HIWORD(wParam);
    if (m_panel == nullptr || code != BN_CLICKED) {
        return;
    }
    if (id == kIdCancel && (lParam == 0 || KindOf(id) != ItemKind::PushButton)) {
        m_panel->OnCancel();
    } else if (m_kinds.count(id) != 0 ? IsButton(KindOf(id)) : id == IDOK) {
        if (IsWindowEnabled(Item(id)) || lParam == 0) {
            m_panel->OnCommand(id);
        }
    }
}

ItemKind DialogHost::KindOf(int id) const {
    const auto found = m_kinds.find(id);
    return found == m_kinds.end() ? ItemKind::Label : found->second;
}

HWND DialogHost::Item(int id) const {
    return m_hwnd != nullptr && m_kinds.count(id) != 0 ? GetDlgItem(m_hwnd, id) : nullptr;
}

// ---- the port --------------------------------------------------------------------------------

std::string DialogHost::Text(int id) const {
    if (KindOf(id) == ItemKind::ReportText) {
        const auto found = m_reports.find(id);
        return found == m_reports.end() ? std::string() : found->second;
    }
    HWND item = Item(id);
    return item != nullptr ? Utf8(WindowText(item)) : std::string();
}

// A control already showing the text is left alone: refreshing after every reply then costs no
// repaint of unchanged fields, and a report keeps the operator's place in it.
void DialogHost::SetText(int id, const std::string& text) {
    HWND item = Item(id);
    if (item == nullptr) {
        return;
    }
    if (KindOf(id) == ItemKind::ReportText) {
        ShowReport(item, m_reports[id], text);
        return;
    }
    const std::wstring shown = Wide(text);
    if (WindowText(item) != shown) {
        SetWindowTextW(item, shown.c_str());
    }
}

// A report keeps the exact text (line ends included) beside what it shows. Lines put in front of
// what it shows are inserted, so the operator's selection stays on the text it was on and the
// lines in view stay in view.
void DialogHost::ShowReport(HWND report, std::string& kept, const std::string& text) {
    if (kept == text) {
        return;
    }
    const std::size_t headSize = text.size() - kept.size();
    const bool linesInFront = !kept.empty() && text.size() > kept.size() && text.ends_with(kept) &&
                              text[headSize - 1] == '\n';
    const std::string head = text.substr(0, headSize);
    kept = text;
    if (!linesInFront) {
        SetWindowTextW(report, ShownLines(Wide(text)).c_str());
        return;
    }
    const std::wstring shownHead = ShownLines(Wide(head));
    const auto added = static_cast<LPARAM>(shownHead.size());
    DWORD start = 0;
    DWORD end = 0;
    SendMessageW(report, EM_GETSEL, reinterpret_cast<WPARAM>(&start),
                 reinterpret_cast<LPARAM>(&end));
    const LRESULT firstLine = SendMessageW(report, EM_GETFIRSTVISIBLELINE, 0, 0);
    const LRESULT linesBefore = SendMessageW(report, EM_GETLINECOUNT, 0, 0);
    SendMessageW(report, EM_SETSEL, 0, 0);
    SendMessageW(report, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(shownHead.c_str()));
    SendMessageW(report, EM_SETSEL, start + static_cast<WPARAM>(added), end + added);
    // The newest lines show when the top was in view; otherwise the same lines stay in view.
    const LRESULT newLines = SendMessageW(report, EM_GETLINECOUNT, 0, 0) - linesBefore;
    const LRESULT target = firstLine == 0 ? 0 : firstLine + newLines;
    SendMessageW(report, EM_LINESCROLL, 0,
                 target - SendMessageW(report, EM_GETFIRSTVISIBLELINE, 0, 0));
}

bool DialogHost::IsEnabled(int id) const {
    HWND item = Item(id);
    return item != nullptr && IsWindowEnabled(item) != FALSE;
}

void DialogHost::Enable(int id, bool enabled) {
    if (HWND item = Item(id)) {
        EnableWindow(item, enabled ? TRUE : FALSE);
    }
}

bool DialogHost::IsChecked(int id) const {
    HWND item = Item(id);
    return item != nullptr && SendMessageW(item, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void DialogHost::SetChecked(int id, bool checked) {
    if (HWND item = Item(id)) {
        SendMessageW(item, BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
    }
}

bool DialogHost::IsShown(int id) const {
    HWND item = Item(id);
    return item != nullptr && (GetWindowLongPtrW(item, GWL_STYLE) & WS_VISIBLE) != 0;
}

void DialogHost::Show(int id, bool shown) {
    if (HWND item = Item(id)) {
        ShowWindow(item, shown ? SW_SHOW : SW_HIDE);
    }
}

// The focus may be on a part of a control (the edit part of a combo box): the control counts.
int DialogHost::Focus() const {
    for (HWND focus = GetFocus(); focus != nullptr && focus != m_hwnd; focus = GetParent(focus)) {
        if (GetParent(focus) == m_hwnd) {
            const int id = GetDlgCtrlID(focus);
            return m_kinds.count(id) != 0 ? id : kNoId;
        }
    }
    return kNoId;
}

void DialogHost::SetFocus(int id) {
    if (HWND item = Item(id)) {
        SendMessageW(m_hwnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(item), TRUE);
    }
}

void DialogHost::SelectText(int id) {
    if (HWND item = Item(id)) {
        SendMessageW(item, EM_SETSEL, 0, -1);
    }
}

// ---- combo boxes ----

void DialogHost::AddComboItem(int id, const std::string& text) {
    if (HWND item = Item(id)) {
        SendMessageW(item, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Wide(text).c_str()));
    }
}

int DialogHost::ComboCount(int id) const {
    HWND item = Item(id);
    return item != nullptr ? static_cast<int>(SendMessageW(item, CB_GETCOUNT, 0, 0)) : 0;
}

std::string DialogHost::ComboItem(int id, int index) const {
    HWND item = Item(id);
    const LRESULT length = item != nullptr ? SendMessageW(item, CB_GETLBTEXTLEN, index, 0) : CB_ERR;
    if (length == CB_ERR) {
        return {};
    }
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    SendMessageW(item, CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(text.data()));
    text.resize(static_cast<std::size_t>(length));
    return Utf8(text);
}

void DialogHost::SetComboSelection(int id, int index) {
    if (HWND item = Item(id)) {
        SendMessageW(item, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    }
}

// -1 also when the operator has typed a text other than the selected item's.
int DialogHost::ComboSelection(int id) const {
    HWND item = Item(id);
    const int index =
        item != nullptr ? static_cast<int>(SendMessageW(item, CB_GETCURSEL, 0, 0)) : -1;
    if (index < 0 || Text(id) != ComboItem(id, index)) {
        return -1;
    }
    return index;
}

// ---- list views ----

void DialogHost::SetListColumns(int id, std::span<const ListColumn> columns) {
    HWND list = Item(id);
    if (list == nullptr) {
        return;
    }
    while (ListView_DeleteColumn(list, 0)) {
    }
    for (std::size_t n = 0; n < columns.size(); ++n) {
        std::wstring heading = Wide(columns[n].heading);
        LVCOLUMNW column{};
        column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT;
        column.fmt = LVCFMT_LEFT;
        column.cx = columns[n].width;
        column.pszText = heading.data();
        SendMessageW(list, LVM_INSERTCOLUMNW, n, reinterpret_cast<LPARAM>(&column));
    }
}

void DialogHost::SetListRows(int id, const std::vector<ListRow>& rows) {
    HWND list = Item(id);
    if (list == nullptr) {
        return;
    }
    ListView_DeleteAllItems(list);
    for (std::size_t row = 0; row < rows.size(); ++row) {
        for (std::size_t column = 0; column < rows[row].size(); ++column) {
            std::wstring text = Wide(rows[row][column]);
            LVITEMW cell{};
            cell.mask = LVIF_TEXT;
            cell.iItem = static_cast<int>(row);
            cell.iSubItem = static_cast<int>(column);
            cell.pszText = text.data();
            SendMessageW(list, column == 0 ? LVM_INSERTITEMW : LVM_SETITEMTEXTW, row,
                         reinterpret_cast<LPARAM>(&cell));
        }
    }
}

int DialogHost::ListRowCount(int id) const {
    HWND list = Item(id);
    return list != nullptr ? ListView_GetItemCount(list) : 0;
}

std::string DialogHost::ListCell(int id, int row, int column) const {
    HWND list = Item(id);
    if (list == nullptr) {
        return {};
    }
    std::wstring text(256, L'\0');
    LVITEMW cell{};
    cell.iSubItem = column;
    cell.pszText = text.data();
    cell.cchTextMax = static_cast<int>(text.size());
    const auto length = SendMessageW(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(row),
                                     reinterpret_cast<LPARAM>(&cell));
    text.resize(static_cast<std::size_t>(length));
    return Utf8(text);
}

int DialogHost::SelectedListRow(int id) const {
    HWND list = Item(id);
    return list != nullptr ? ListView_GetNextItem(list, -1, LVNI_SELECTED) : -1;
}

// ---- the dialog ----

// The program's file name without its extension, as on every platform.
std::string DialogHost::ProgramName() const {
    std::wstring path(MAX_PATH, L'\0');
    path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
    const std::size_t slash = path.find_last_of(L"\\/");
    std::wstring name = slash == std::wstring::npos ? path : path.substr(slash + 1);
    const std::size_t dot = name.find_last_of(L'.');
    return Utf8(dot == std::wstring::npos ? name : name.substr(0, dot));
}

void DialogHost::ShowMessageBox(const std::string& text, const std::string& caption,
                                MessageIcon icon) {
    const UINT type = MB_OK | (icon == MessageIcon::Warning ? MB_ICONWARNING : 0U);
    MessageBoxW(m_hwnd, Wide(text).c_str(), Wide(caption).c_str(), type);
}

void DialogHost::EndDialog(int result) {
    if (m_hwnd != nullptr) {
        ::EndDialog(m_hwnd, result);
    }
}

int DialogHost::RunModal(const DialogTemplate& dialogTemplate, DialogPanel& child) {
    DialogHost window(dialogTemplate);
    window.SetPanel(&child);
    return window.Run(m_hwnd);
}
