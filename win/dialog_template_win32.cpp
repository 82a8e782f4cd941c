#include "dialog_template_win32.h"

#include <windows.h>
// windows.h before commctrl.h
#include <commctrl.h>

#include <array>

#include "dialog_host.h"

namespace {

// The predefined window classes, by their atoms in a dialog template.
constexpr WORD kButtonAtom = 0x0080;
constexpr WORD kEditAtom = 0x0081;
constexpr WORD kStaticAtom = 0x0082;
constexpr WORD kComboBoxAtom = 0x0085;
// Height of the edit part of a combo box; the rest of its template height is the drop-down list.
constexpr int kComboEditHeight = 14;

class TemplateWriter {
  public:
    void Word(WORD value) { Raw(&value, sizeof value); }
    void Dword(DWORD value) { Raw(&value, sizeof value); }
    void Short(short value) { Raw(&value, sizeof value); }
    void Byte(BYTE value) { m_bytes.push_back(value); }
    void String(const std::wstring& text) {
        Raw(text.c_str(), (text.size() + 1) * sizeof(wchar_t));
    }
    void AlignDword() {
        while (m_bytes.size() % 4 != 0) {
            m_bytes.push_back(0);
        }
    }
    std::vector<std::uint8_t> Take() { return std::move(m_bytes); }

  private:
    void Raw(const void* data, std::size_t size) {
        const auto* bytes = static_cast<const std::uint8_t*>(data);
        m_bytes.insert(m_bytes.end(), bytes, bytes + size);
    }
    std::vector<std::uint8_t> m_bytes;
};

DWORD KindStyle(ItemKind kind) {
    switch (kind) {
        case ItemKind::DefPushButton:
            return BS_DEFPUSHBUTTON | WS_TABSTOP;
        case ItemKind::PushButton:
            return BS_PUSHBUTTON | WS_TABSTOP;
        case ItemKind::GroupBox:
            return BS_GROUPBOX;
        case ItemKind::Label:
            return SS_LEFT | SS_NOPREFIX;
        case ItemKind::Edit:
            return ES_LEFT | ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP;
        case ItemKind::ReportText:
            return ES_LEFT | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL | WS_VSCROLL | WS_TABSTOP;
        case ItemKind::CheckBox:
            return BS_AUTOCHECKBOX | WS_TABSTOP;
        case ItemKind::ListView:
            return LVS_REPORT | LVS_SHOWSELALWAYS | WS_BORDER | WS_TABSTOP;
        case ItemKind::ComboBox:
            return CBS_DROPDOWN | CBS_AUTOHSCROLL | WS_VSCROLL | WS_TABSTOP;
    }
    return 0;
}

DWORD ItemStyle(const ItemTemplate& item) {
    DWORD style = WS_CHILD | WS_VISIBLE | KindStyle(item.kind);
    if ((item.state & kDisabled) != 0) {
        style |= WS_DISABLED;
    }
    if ((item.state & kReadOnly) != 0 && item.kind == ItemKind::Edit) {
        style |= ES_READONLY;
    }
    return style;
}

void WriteClass(TemplateWriter& out, ItemKind kind) {
    switch (kind) {
        case ItemKind::DefPushButton:
        case ItemKind::PushButton:
        case ItemKind::GroupBox:
        case ItemKind::CheckBox:
            out.Word(0xFFFF), out.Word(kButtonAtom);
            return;
        case ItemKind::Label:
            out.Word(0xFFFF), out.Word(kStaticAtom);
            return;
        case ItemKind::Edit:
        case ItemKind::ReportText:
            out.Word(0xFFFF), out.Word(kEditAtom);
            return;
        case ItemKind::ComboBox:
            out.Word(0xFFFF), out.Word(kComboBoxAtom);
            return;
        case ItemKind::ListView:
            out.String(WC_LISTVIEWW);
            return;
    }
}

// What the control shows; a list view shows no window text, so its name goes there for assistive
// technology to read.
std::wstring ItemText(const ItemTemplate& item) {
    if (item.caption != nullptr) {
        return Wide(item.caption);
    }
    return item.kind == ItemKind::ListView && item.name != nullptr ? Wide(item.name)
                                                                   : std::wstring();
}

void WriteItem(TemplateWriter& out, const ItemTemplate& item, DWORD extraStyle) {
    out.AlignDword();
    out.Dword(0);  // help id
    out.Dword(item.kind == ItemKind::ReportText ? WS_EX_CLIENTEDGE : 0);
    out.Dword(ItemStyle(item) | extraStyle);
    const int height = item.kind == ItemKind::ComboBox && item.height < kComboEditHeight
                           ? kComboEditHeight
                           : item.height;
    out.Short(static_cast<short>(item.x));
    out.Short(static_cast<short>(item.y));
    out.Short(static_cast<short>(item.width));
    out.Short(static_cast<short>(height));
    out.Dword(static_cast<DWORD>(item.id));
    WriteClass(out, item.kind);
    out.String(ItemText(item));
    out.Word(0);  // no creation data
}

int CALLBACK NoteFace(const LOGFONTW*, const TEXTMETRICW*, DWORD, LPARAM found) {
    *reinterpret_cast<bool*>(found) = true;
    return 0;
}

bool FaceInstalled(const wchar_t* face) {
    LOGFONTW font{};
    font.lfCharSet = DEFAULT_CHARSET;
    lstrcpynW(font.lfFaceName, face, LF_FACESIZE);
    bool found = false;
    HDC screen = GetDC(nullptr);
    EnumFontFamiliesExW(screen, &font, NoteFace, reinterpret_cast<LPARAM>(&found), 0);
    ReleaseDC(nullptr, screen);
    return found;
}

}  // namespace

std::vector<std::uint8_t> BuildDialogTemplate(const DialogTemplate& dialogTemplate,
                                              const std::wstring& fontFace, int pointSize,
                                              const std::map<int, DWORD>& extraStyles) {
    TemplateWriter out;
    out.Word(1);       // version
    out.Word(0xFFFF);  // extended template
    out.Dword(0);      // help id
    out.Dword(0);      // extended style
    out.Dword(DS_SETFONT | DS_MODALFRAME | DS_CENTER | WS_POPUP | WS_CAPTION | WS_SYSMENU);
    out.Word(static_cast<WORD>(dialogTemplate.items.size()));
    out.Short(0);
    out.Short(0);
    out.Short(static_cast<short>(dialogTemplate.width));
    out.Short(static_cast<short>(dialogTemplate.height));
    out.Word(0);  // no menu
    out.Word(0);  // the dialog class
    out.String(Wide(dialogTemplate.caption));
    out.Word(static_cast<WORD>(pointSize));
    out.Word(FW_NORMAL);
    out.Byte(FALSE);  // not italic
    out.Byte(DEFAULT_CHARSET);
    out.String(fontFace);
    for (const ItemTemplate& item : dialogTemplate.items) {
        const auto extra = extraStyles.find(item.id);
        WriteItem(out, item, extra == extraStyles.end() ? 0 : extra->second);
    }
    return out.Take();
}

std::wstring DialogFontFace() {
    static const std::wstring face = [] {
        for (const wchar_t* candidate : {L"SimSun", L"Microsoft YaHei", L"NSimSun"}) {
            if (FaceInstalled(candidate)) {
                return std::wstring(candidate);
            }
        }
        return std::wstring(L"MS Shell Dlg");
    }();
    return face;
}
