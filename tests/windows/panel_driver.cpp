// Works kestrel.exe from outside, as UI automation would: finds the window "Quillon", reads and
// types its fields and clicks its buttons by control id, and finds and answers its message
// boxes. Run under Wine by scripts/test-windows.sh against Linux peers on loopback:
//   panel_driver.exe KESTREL_EXE [--installed]
// KESTREL_TEST_MODULE_PORT   the simulator's Modbus TCP port on 127.0.0.1
// KESTREL_TEST_CONTROL_PORT  its control port ("quit" ends it: the module closes the connection)
// KESTREL_TEST_MODULE_NAME   the name it answers device searches with
// KESTREL_TEST_COM           the COM port number where the simulator answers at 9600 baud
//                            (COM200 must not exist)
// --installed only starts the program, finds its window, opens the guide with F1 and closes it.
#include <winsock2.h>
// winsock2.h first: it must come before windows.h
#include <windows.h>
// windows.h before commctrl.h
#include <commctrl.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "main_template.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr milliseconds kPatience{20000};
constexpr UINT kAboutCommand = 0x0010;
constexpr int kAdvancedAi1Period = 1038;
constexpr int kAdvancedOk = 1;
constexpr int kAdvancedCancel = 2;
constexpr int kHelpText = 100;
const std::wstring kRefuseUnsigned =
    L"\u201c\u8bf7\u586b\u5165\u4e00\u4e2a\u6b63\u6574\u6570\u3002\u201d";
const std::wstring kRefuseWord =
    L"\u201c\u8bf7\u586b\u5165\u4e00\u4e2a\u5728"
    L"0\u548c65535\u4e4b\u95f4\u7684\u6574\u6570\u3002\u201d";

int g_failures = 0;

void Check(bool ok, const char* what) {
    std::printf("%s: %s\n", ok ? "ok" : "FAILED", what);
    std::fflush(stdout);
    g_failures += ok ? 0 : 1;
}

std::string Narrow(const std::wstring& wide) {
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, text.data(), size, nullptr, nullptr);
    text.resize(text.empty() ? 0 : text.size() - 1);
    return text;
}

std::wstring Env(const char* name) {
    const char* value = std::getenv(name);
    std::wstring wide;
    for (const char* c = value ? value : ""; *c != '\0'; ++c) {
        wide += static_cast<wchar_t>(*c);
    }
    return wide;
}

bool WaitFor(const std::function<bool()>& done, milliseconds patience = kPatience) {
    const auto until = steady_clock::now() + patience;
    while (!done()) {
        if (steady_clock::now() > until) {
            return false;
        }
        std::this_thread::sleep_for(milliseconds(50));
    }
    return true;
}

std::wstring TextOf(HWND hwnd) {
    DWORD_PTR length = 0;
    if (SendMessageTimeoutW(hwnd, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 5000, &length) == 0) {
        return L"<no answer>";
    }
    std::wstring text(length + 1, L'\0');
    DWORD_PTR copied = 0;
    SendMessageTimeoutW(hwnd, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                        SMTO_ABORTIFHUNG, 5000, &copied);
    text.resize(copied);
    return text;
}

std::wstring ClassOf(HWND hwnd) {
    wchar_t name[64] = {};
    GetClassNameW(hwnd, name, 64);
    return name;
}

// The program under test, seen from outside.
class Panel {
  public:
    bool Start(const std::wstring& exe) {
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        std::wstring command = L"\"" + exe + L"\"";
        if (!CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                            nullptr, &startup, &m_process)) {
            return false;
        }
        m_main = WaitDialog(L"Quillon");
        return m_main != nullptr;
    }

    // Closes the window with its close box; true when the program then ends by itself.
    bool Close() {
        PostMessageW(m_main, WM_CLOSE, 0, 0);
        const bool ended = WaitForSingleObject(m_process.hProcess, 10000) == WAIT_OBJECT_0;
        if (!ended) {
            TerminateProcess(m_process.hProcess, 1);
        }
        CloseHandle(m_process.hThread);
        CloseHandle(m_process.hProcess);
        return ended;
    }

    // A top-level dialog of the program with this caption, once it is shown.
    HWND WaitDialog(const std::wstring& caption) {
        HWND found = nullptr;
        WaitFor([&] { return (found = FindDialog(caption)) != nullptr; });
        return found;
    }

    HWND FindDialog(const std::wstring& caption) const {
        struct Search {
            DWORD pid;
            const std::wstring* caption;
            HWND found;
        } search{m_process.dwProcessId, &caption, nullptr};
        EnumWindows(
            [](HWND hwnd, LPARAM param) -> BOOL {
                auto* s = reinterpret_cast<Search*>(param);
                DWORD pid = 0;
                GetWindowThreadProcessId(hwnd, &pid);
                if (pid == s->pid && IsWindowVisible(hwnd) && ClassOf(hwnd) == L"#32770" &&
                    TextOf(hwnd) == *s->caption) {
                    s->found = hwnd;
                    return FALSE;
                }
                return TRUE;
            },
            reinterpret_cast<LPARAM>(&search));
        return search.found;
    }

    // The message box captioned `caption` over the program: its text, once answered with OK;
    // "<none>" when none came.
    std::wstring AnswerBox(const std::wstring& caption = L"kestrel") {
        HWND box = WaitDialog(caption);
        if (box == nullptr) {
            return L"<none>";
        }
        std::wstring text;
        EnumChildWindows(
            box,
            [](HWND child, LPARAM param) -> BOOL {
                if (ClassOf(child) == L"Static") {
                    *reinterpret_cast<std::wstring*>(param) += TextOf(child);
                }
                return TRUE;
            },
            reinterpret_cast<LPARAM>(&text));
        PostMessageW(box, WM_COMMAND, IDOK, 0);
        WaitFor([&] { return !IsWindow(box); });
        return text;
    }

    HWND Item(int id, HWND dialog = nullptr) const {
        return GetDlgItem(dialog ? dialog : m_main, id);
    }
    std::wstring Text(int id, HWND dialog = nullptr) const { return TextOf(Item(id, dialog)); }
    void Type(int id, const std::wstring& text, HWND dialog = nullptr) const {
        DWORD_PTR result = 0;
        SendMessageTimeoutW(Item(id, dialog), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()),
                            SMTO_ABORTIFHUNG, 5000, &result);
    }
    // Posted: the click may open a modal box, which the driver answers afterwards.
    void Click(int id, HWND dialog = nullptr) const {
        PostMessageW(Item(id, dialog), BM_CLICK, 0, 0);
    }
    bool Checked(int id) const {
        DWORD_PTR state = 0;
        SendMessageTimeoutW(Item(id), BM_GETCHECK, 0, 0, SMTO_ABORTIFHUNG, 5000, &state);
        return state == BST_CHECKED;
    }
    bool Enabled(int id) const { return IsWindowEnabled(Item(id)) != FALSE; }
    bool ReportHas(const std::wstring& line) const {
        return Text(IDC_REPORT).find(line) != std::wstring::npos;
    }
    bool WaitReport(const std::wstring& line) const {
        return WaitFor([&] { return ReportHas(line); });
    }
    void SelectCombo(int id, int index) const {
        DWORD_PTR result = 0;
        SendMessageTimeoutW(Item(id), CB_SETCURSEL, static_cast<WPARAM>(index), 0, SMTO_ABORTIFHUNG,
                            5000, &result);
    }
    DWORD_PTR Send(int id, UINT message, WPARAM wParam, LPARAM lParam) const {
        DWORD_PTR result = 0;
        SendMessageTimeoutW(Item(id), message, wParam, lParam, SMTO_ABORTIFHUNG, 60000, &result);
        return result;
    }
    int ListRows(int id) const {
        DWORD_PTR count = 0;
        SendMessageTimeoutW(Item(id), LVM_GETITEMCOUNT, 0, 0, SMTO_ABORTIFHUNG, 5000, &count);
        return static_cast<int>(count);
    }
    // A cell of a list view: the item and its text buffer live in the program's memory.
    std::wstring ListCell(int id, int row, int column) const {
        constexpr std::size_t kChars = 256;
        const std::size_t size = sizeof(LVITEMW) + kChars * sizeof(wchar_t);
        auto* remote = static_cast<std::uint8_t*>(
            VirtualAllocEx(m_process.hProcess, nullptr, size, MEM_COMMIT, PAGE_READWRITE));
        if (remote == nullptr) {
            return L"<no memory>";
        }
        LVITEMW cell{};
        cell.iSubItem = column;
        cell.pszText = reinterpret_cast<wchar_t*>(remote + sizeof(LVITEMW));
        cell.cchTextMax = kChars;
        WriteProcessMemory(m_process.hProcess, remote, &cell, sizeof cell, nullptr);
        DWORD_PTR length = 0;
        SendMessageTimeoutW(Item(id), LVM_GETITEMTEXTW, static_cast<WPARAM>(row),
                            reinterpret_cast<LPARAM>(remote), SMTO_ABORTIFHUNG, 5000, &length);
        std::wstring text(kChars, L'\0');
        ReadProcessMemory(m_process.hProcess, remote + sizeof(LVITEMW), text.data(),
                          kChars * sizeof(wchar_t), nullptr);
        VirtualFreeEx(m_process.hProcess, remote, 0, MEM_RELEASE);
        text.resize(std::min<std::size_t>(length, kChars));
        return text;
    }
    HWND Main() const { return m_main; }

  private:
    PROCESS_INFORMATION m_process{};
    HWND m_main = nullptr;
};

// Asks the simulator to stop, through its control port on loopback.
bool QuitSimulator(const std::wstring& controlPort) {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    SOCKET peer = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(std::stoi(controlPort)));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool sent = connect(peer, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                      send(peer, "quit\n", 5, 0) == 5;
    closesocket(peer);
    return sent;
}

void FirstValues(Panel& panel) {
    Check(panel.Text(IDC_IP) == L"192.168.1.232", "the IP field shows the default address");
    Check(panel.Text(IDC_PORT) == L"4196", "the port field shows 4196");
    Check(panel.Text(IDC_PROTOCOL) == L"MODBUS TCP", "the protocol is MODBUS TCP");
    Check(panel.Text(IDC_CONNECT) == L"Connect", "the Connect button says Connect");
    Check(!panel.Enabled(IDC_ADVANCED) && !panel.Enabled(IDC_SERIAL_SEARCH) &&
              !panel.Enabled(IDC_BAUD),
          "Advanced, the COM search and the baud rate start disabled");
    Check(!panel.Enabled(IDC_RL1) && !panel.Checked(IDC_RL1), "RL1 is an unticked indicator");
    Check(panel.Text(IDC_COM) == L"COM1", "the COM list starts at COM1");
    Check(panel.Text(IDC_RL4_OFF) == L"RL4 Disconncet", "captions are the template's");
    // What assistive technology names a field by: the label just before it in z-order.
    const auto labelOf = [&](int id) { return TextOf(GetWindow(panel.Item(id), GW_HWNDPREV)); };
    Check(labelOf(IDC_AI1) == L"AI1" && labelOf(IDC_AI2) == L"AI2" && labelOf(IDC_COM) == L"Com:" &&
              labelOf(IDC_BAUD) == L"Baudrate:" && labelOf(IDC_PORT) == L"Port:",
          "each field without a caption has its label just before it");
    Check(TextOf(panel.Item(IDC_DEVICE_LIST)) == L"Devices", "the device list is named Devices");
}

void RefusedFields(Panel& panel) {
    panel.Type(IDC_IP, L"127.0.0.1");
    panel.Type(IDC_PORT, L"-1");
    panel.Click(IDC_CONNECT);
    Check(panel.AnswerBox() == kRefuseUnsigned, "a negative port is refused with a box");
    panel.Type(IDC_PORT, L"70000");
    panel.Click(IDC_CONNECT);
    Check(panel.WaitReport(L"TCP connect to 127.0.0.1:70000 failed: port 70000 is out of range"),
          "port 70000 is reported out of range");
}

void ConnectAndWork(Panel& panel, const std::wstring& modulePort) {
    if (panel.Text(IDC_CONNECT) == L"Disconnect") {  // the failed attempt's link goes first
        panel.Click(IDC_CONNECT);
        WaitFor([&] { return panel.Text(IDC_CONNECT) == L"Connect"; });
    }
    panel.Type(IDC_IP, L"127.0.0.1");
    panel.Type(IDC_PORT, modulePort);
    panel.Click(IDC_CONNECT);
    Check(panel.WaitReport(L"TCP Client Connected to 127.0.0.1 : " + modulePort),
          "Connect connects");
    Check(WaitFor([&] { return panel.Text(IDC_ADDRESS) == L"1"; }),
          "the parameter read fills Address");
    Check(WaitFor([&] { return panel.Enabled(IDC_ADVANCED); }), "and enables Advanced");
    panel.Click(IDC_RL1_ON);
    Check(WaitFor([&] { return panel.Checked(IDC_RL1); }), "RL1 Closed's echo ticks RL1");
    panel.Click(IDC_QUERY_AI);
    Check(WaitFor([&] { return panel.Text(IDC_AI1) != L"0" && panel.Text(IDC_AI2) != L"0"; }),
          "query AI shows both values");
}

void AdvancedRefusesAPeriod(Panel& panel) {
    panel.Click(IDC_ADVANCED);
    HWND advanced = panel.WaitDialog(L"Advanced");
    Check(advanced != nullptr, "Advanced opens its dialog");
    if (advanced == nullptr) {
        return;
    }
    Check(panel.Text(IDC_ADDRESS) == L"1" && TextOf(GetDlgItem(advanced, 1035)) == L"1",
          "the dialog shows the slave address read");
    panel.Type(kAdvancedAi1Period, L"70000", advanced);
    panel.Click(kAdvancedOk, advanced);
    Check(panel.AnswerBox() == kRefuseWord, "an AI period of 70000 is refused with a box");
    Check(IsWindow(advanced) != FALSE, "and the dialog stays open");
    panel.Click(kAdvancedCancel, advanced);
    Check(WaitFor([&] { return !IsWindow(advanced); }), "Cancle closes it");
}

// Dropping the "Com:" list marks the ports whose device exists; the marks are the items' data
// (1: the port exists), and the box still shows a port's name.
void ComListMarksPorts(Panel& panel, const std::wstring& com) {
    const int item = std::stoi(com) - 1;
    constexpr int kCom200 = 199;
    panel.Send(IDC_COM, CB_SHOWDROPDOWN, TRUE, 0);
    Check(panel.Send(IDC_COM, CB_GETITEMDATA, static_cast<WPARAM>(item), 0) == 1 &&
              panel.Send(IDC_COM, CB_GETITEMDATA, kCom200, 0) == 0,
          ("the dropped list marks COM" + Narrow(com) + " and not COM200").c_str());
    panel.Send(IDC_COM, CB_SHOWDROPDOWN, FALSE, 0);
    panel.SelectCombo(IDC_COM, item);
    Check(panel.Text(IDC_COM) == L"COM" + com, "the box shows the chosen port's name");
}

void SearchesAndAbout(Panel& panel, const std::wstring& moduleName, const std::wstring& com) {
    PostMessageW(panel.Main(), WM_SYSCOMMAND, kAboutCommand, 0);
    Check(panel.AnswerBox(L"\u5173\u4e8e Kestrel").find(L"Kestrel, version") == 0,
          "the window menu's About names the program and its version");
    panel.Click(IDC_NET_SEARCH);
    Check(WaitFor([&] { return panel.ListRows(IDC_DEVICE_LIST) > 0; }),
          "the device search lists modules");
    Check(panel.ListCell(IDC_DEVICE_LIST, 0, 0) == moduleName,
          ("the first row names " + Narrow(moduleName)).c_str());
    panel.SelectCombo(IDC_COM, std::stoi(com) - 1);
    panel.Click(IDC_SERIAL_OPEN);
    Check(WaitFor([&] { return panel.Enabled(IDC_SERIAL_SEARCH); }), "Open opens the COM port");
    // The operator selects the oldest line; the replies' lines come in front of it.
    const std::wstring before = panel.Text(IDC_REPORT);
    const auto oldest = static_cast<LPARAM>(before.rfind(L"TCP Client Connected"));
    const auto oldestEnd =
        static_cast<LPARAM>(before.find(L'\r', static_cast<std::size_t>(oldest)));
    SendMessageW(panel.Item(IDC_REPORT), EM_SETSEL, static_cast<WPARAM>(oldest), oldestEnd);
    panel.Click(IDC_SERIAL_SEARCH);
    Check(panel.WaitReport(L"Found device!"), "the COM port search finds the module");
    const auto selection =
        static_cast<DWORD>(SendMessageW(panel.Item(IDC_REPORT), EM_GETSEL, 0, 0));
    const std::wstring report = panel.Text(IDC_REPORT);
    Check(report.substr(LOWORD(selection), HIWORD(selection) - LOWORD(selection)) ==
              before.substr(static_cast<std::size_t>(oldest),
                            static_cast<std::size_t>(oldestEnd - oldest)),
          "the operator's selection stays on its line");
    Check(panel.Text(IDC_BAUD) == L"9600", "at 9600 baud");
}

// F1 on a control opens the help window; the guide is README.md from the program's folder.
void HelpOnF1(Panel& panel, const std::wstring& guideStart) {
    PostMessageW(panel.Item(IDC_CONNECT), WM_KEYDOWN, VK_F1, 0);
    HWND help = panel.WaitDialog(L"Kestrel help");
    Check(help != nullptr, "F1 opens the help window");
    if (help != nullptr) {
        const std::wstring guide = TextOf(GetDlgItem(help, kHelpText));
        Check(guide.rfind(guideStart, 0) == 0,
              ("the help window shows " + Narrow(guideStart)).c_str());
        PostMessageW(help, WM_COMMAND, IDOK, 0);
        Check(WaitFor([&] { return !IsWindow(help); }), "OK closes the help window");
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: panel_driver KESTREL_EXE [--installed]\n");
        return 2;
    }
    Panel panel;
    const bool started = panel.Start(argv[1]);
    Check(started, "the window \"Quillon\" comes up");
    if (!started) {
        return 1;
    }
    if (argc < 3) {
        FirstValues(panel);
        RefusedFields(panel);
        ConnectAndWork(panel, Env("KESTREL_TEST_MODULE_PORT"));
        AdvancedRefusesAPeriod(panel);
        ComListMarksPorts(panel, Env("KESTREL_TEST_COM"));
        SearchesAndAbout(panel, Env("KESTREL_TEST_MODULE_NAME"), Env("KESTREL_TEST_COM"));
        Check(QuitSimulator(Env("KESTREL_TEST_CONTROL_PORT")), "the simulator is told to stop");
        Check(panel.WaitReport(L"The module closed the connection"),
              "the module closing the connection is reported");
        HelpOnF1(panel, L"The guide, README.md, is not beside the program");
    } else {
        HelpOnF1(panel, L"# Kestrel");
    }
    Check(panel.Close(), "the close box ends the program");
    std::printf("%d failure(s)\n", g_failures);
    return g_failures == 0 ? 0 : 1;
}
