#include "kestrel_window.h"

#include <array>
#include <fstream>
#include <sstream>
#include <utility>

#include "main_template.h"

namespace {

constexpr unsigned kAboutCommand = 0x0010;
constexpr UINT kTrafficCommand = 0x0020;
constexpr const char* kAboutMenuText = "关于 Kestrel(&A)...";
constexpr const char* kTrafficMenuText = "Traffic";
constexpr const char* kTrafficNotice = "The traffic monitor is not available on Windows yet.";
constexpr int kHelpTextId = 100;
constexpr const char* kReadmeName = "README.md";
// The operator's part of the guide ends where the developers' begins.
constexpr const char* kDevelopersHeading = "\n## For developers";

constexpr std::array<ItemTemplate, 2> kHelpItems = {{
    {kHelpTextId, ItemKind::ReportText, nullptr, kEnabled, 7, 7, 386, 262, "Kestrel help"},
    {1, ItemKind::DefPushButton, "OK", kEnabled, 343, 276, 50, 14, nullptr},
}};
constexpr DialogTemplate kHelpTemplate = {"Kestrel help", 400, 297, kHelpItems};

std::string FolderOfProgram() {
    std::wstring path(MAX_PATH, L'\0');
    path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
    const std::size_t slash = path.find_last_of(L"\\/");
    return Utf8(slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1));
}

// The operator's part of README.md beside the program; a line saying where to find it when the
// file is not there.
std::string OperatorGuide() {
    const std::string path = FolderOfProgram() + kReadmeName;
    std::ifstream file(Wide(path).c_str(), std::ios::binary);
    if (!file) {
        return "The guide, " + std::string(kReadmeName) + ", is not beside the program (" + path +
               ").";
    }
    std::stringstream text;
    text << file.rdbuf();
    std::string guide = text.str();
    const std::size_t developers = guide.find(kDevelopersHeading);
    return developers == std::string::npos ? guide : guide.substr(0, developers + 1);
}

// The help window: the guide, read-only, and OK.
class HelpPanel : public DialogPanel {
  public:
    void OnInitDialog(DialogPort& port) override {
        m_port = &port;
        port.SetText(kHelpTextId, OperatorGuide());
        port.SetFocus(kHelpTextId);
    }
    void OnCommand(int) override { m_port->EndDialog(1); }
    void OnCancel() override { m_port->EndDialog(2); }

  private:
    DialogPort* m_port = nullptr;
};

}  // namespace

KestrelWindow::KestrelWindow(EventPort& loop, TcpPort& tcpPort, const char* searchLibraryName)
    : DialogHost(kMainTemplate),
      m_dlg(std::make_unique<CKestrelDlg>(*this, loop, tcpPort, searchLibraryName)),
      m_comList(IDC_COM) {
    AddItemStyle(IDC_COM, ComList::kStyle);
    SetPanel(m_dlg.get());
}

// The links end while the window they report to is still there.
KestrelWindow::~KestrelWindow() {
    SetPanel(nullptr);
    m_dlg.reset();
}

bool KestrelWindow::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    if (m_comList.OnMessage(message, wParam, lParam)) {
        return true;
    }
    switch (message) {
        case WM_SHOWWINDOW:
            AddAboutToWindowMenu();
            SetIcons();
            m_comList.Attach(Item(IDC_COM));
            return false;
        case WM_CONTEXTMENU:
            ShowContextMenu(lParam);
            return true;
        case WM_ENDSESSION:  // Windows is shutting down or the user logs off: links end in order
            if (wParam != FALSE) {
                m_dlg->OnCancel();
            }
            return true;
        case WM_SYSCOMMAND:
            if ((wParam & 0xFFF0U) == kAboutCommand) {
                m_dlg->OnSysCommand(static_cast<unsigned>(wParam));
                return true;
            }
            return false;
        default:
            return false;
    }
}

// The program's icon (resource 1), in the caption and in the task switcher.
void KestrelWindow::SetIcons() {
    HINSTANCE program = GetModuleHandleW(nullptr);
    for (const auto& [which, metric] :
         {std::pair{ICON_SMALL, SM_CXSMICON}, {ICON_BIG, SM_CXICON}}) {
        const int size = GetSystemMetrics(metric);
        auto* icon = static_cast<HICON>(
            LoadImageW(program, MAKEINTRESOURCEW(1), IMAGE_ICON, size, size, LR_SHARED));
        SendMessageW(Handle(), WM_SETICON, which, reinterpret_cast<LPARAM>(icon));
    }
}

void KestrelWindow::AddAboutToWindowMenu() {
    HMENU menu = GetSystemMenu(Handle(), FALSE);
    if (menu == nullptr ||
        GetMenuState(menu, kAboutCommand, MF_BYCOMMAND) != static_cast<UINT>(-1)) {
        return;
    }
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING, kAboutCommand, Wide(kAboutMenuText).c_str());
}

// At the mouse, or at the window's corner when opened from the keyboard.
void KestrelWindow::ShowContextMenu(LPARAM where) {
    POINT at{static_cast<short>(LOWORD(where)), static_cast<short>(HIWORD(where))};
    if (where == static_cast<LPARAM>(-1)) {
        RECT window{};
        GetWindowRect(Handle(), &window);
        at = {window.left, window.top};
    }
    HMENU menu = CreatePopupMenu();
    AppendMenuW(menu, MF_STRING, kAboutCommand, Wide(kAboutMenuText).c_str());
    AppendMenuW(menu, MF_STRING, kTrafficCommand, Wide(kTrafficMenuText).c_str());
    const UINT chosen = static_cast<UINT>(
        TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON, at.x, at.y, 0, Handle(), nullptr));
    DestroyMenu(menu);
    if (chosen == kAboutCommand) {
        m_dlg->OnSysCommand(kAboutCommand);
    } else if (chosen == kTrafficCommand) {
        m_dlg->OnTraffic();
    }
}

void KestrelWindow::ShowAbout() {
    ShowMessageBox(std::string("Kestrel, version ") + KESTREL_VERSION +
                       "\nMade by the Kestrel project\nhttps://kestrel.example.org",
                   "关于 Kestrel", MessageIcon::None);
}

void KestrelWindow::ShowTraffic(std::function<std::uint8_t()>) {
    ShowMessage(*this, kTrafficNotice, MessageIcon::None);
}

void KestrelWindow::ShowHelp() {
    HelpPanel help;
    RunModal(kHelpTemplate, help);
}
