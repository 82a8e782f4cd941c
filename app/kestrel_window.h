#pragma once

#include <QPointer>
#include <memory>

#include "kestrel_dlg.h"
#include "qt_event_port.h"
#include "qt_tcp_port.h"
#include "template_dialog.h"

class HelpWindow;
class TrafficMonitor;

// The main window on Qt: the widgets built from the main template, the ports the panel's
// behaviour (CKestrelDlg) runs on, and what only the shell has: the window's flags and icon, the
// context menu, F1, the marks in the "Com:" list, the traffic monitor, the help window and the
// About box.
class KestrelWindow : public CTemplateDialog {
    Q_OBJECT
  public:
    // searchLibraryName: the device-search library loaded at start.
    explicit KestrelWindow(QWidget* parent = nullptr,
                           const char* searchLibraryName = "DAVazIvurirU2");
    ~KestrelWindow() override;

    CKestrelDlg& Dlg() { return *m_dlg; }
    const CKestrelDlg& Dlg() const { return *m_dlg; }
    // The traffic monitor once opened (closing it only hides it); the help window while open.
    TrafficMonitor* Monitor() const;
    HelpWindow* Help() const;

    void ShowAbout() override;
    void ShowTraffic(std::function<std::uint8_t()> unitInUse) override;
    void ShowHelp() override;

  protected:
    void contextMenuEvent(QContextMenuEvent* event) override;

  private:
    QtEventPort m_loop;
    QtTcpPort m_tcpPort;
    std::unique_ptr<CKestrelDlg> m_dlg;
    QPointer<TrafficMonitor> m_trafficMonitor;
    QPointer<HelpWindow> m_helpWindow;
};
