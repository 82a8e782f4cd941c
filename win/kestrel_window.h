#pragma once

#include <memory>

#include "com_list_win32.h"
#include "dialog_host.h"
#include "kestrel_dlg.h"

// The main window on Windows: the dialog built from the main template, the panel's behaviour
// (CKestrelDlg) over it, and what only the shell has: the context menu and the window menu's
// About, the About box, the help window, the notice that stands in for the traffic monitor, and
// the marks of the ports that exist in the "Com:" list.
class KestrelWindow : public DialogHost {
  public:
    KestrelWindow(EventPort& loop, TcpPort& tcpPort, const char* searchLibraryName);
    ~KestrelWindow() override;

    CKestrelDlg& Dlg() { return *m_dlg; }
    // Runs the window until it is closed.
    int Run() { return DialogHost::Run(nullptr); }

    void ShowAbout() override;
    void ShowTraffic(std::function<std::uint8_t()> unitInUse) override;
    void ShowHelp() override;

  protected:
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

  private:
    void AddAboutToWindowMenu();
    void SetIcons();
    void ShowContextMenu(LPARAM where);

    std::unique_ptr<CKestrelDlg> m_dlg;
    ComList m_comList;
};
