// kestrel.exe: the panel on Windows. The window's thread runs the Win32 message loop (the
// dialog's own modal loop pumps the event port's window too), the TCP link runs on Winsock's
// notices, and the COM port's reader hands its frames over through the event port.
#include <windows.h>
// windows.h before commctrl.h
#include <commctrl.h>

#include "kestrel_window.h"
#include "win_event_port.h"
#include "winsock_tcp_port.h"

namespace {
constexpr const char* kSearchLibraryName = "DAVazIvurirU2";  // DAVazIvurirU2.dll beside the exe
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX),
                                  ICC_STANDARD_CLASSES | ICC_LISTVIEW_CLASSES};
    InitCommonControlsEx(&controls);
    Win32EventPort loop;
    WinsockTcpPort tcpPort(loop);
    if (!loop.Valid() || !tcpPort.Valid()) {
        MessageBoxW(nullptr, L"Windows Sockets or the event window could not be started.",
                    L"kestrel", MB_OK | MB_ICONERROR);
        return 1;
    }
    KestrelWindow window(loop, tcpPort, kSearchLibraryName);
    window.Run();
    return 0;
}
