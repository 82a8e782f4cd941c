#include "kestrel_window.h"

#include <QComboBox>
#include <QContextMenuEvent>
#include <QMenu>
#include <QShortcut>

#include "about_dlg.h"
#include "com_list.h"
#include "help_window.h"
#include "main_template.h"
#include "traffic_monitor.h"

namespace {
constexpr unsigned kAboutCommand = 0x0010;
constexpr const char* kAboutMenuText = "关于 Kestrel(&A)...";
constexpr const char* kTrafficMenuText = "Traffic";
}  // namespace

KestrelWindow::KestrelWindow(QWidget* parent, const char* searchLibraryName)
    : CTemplateDialog(kMainTemplate, parent),
      m_dlg(std::make_unique<CKestrelDlg>(*this, m_loop, m_tcpPort, searchLibraryName)) {
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    setWindowIcon(QIcon(QStringLiteral(":/kestrel.png")));
    SetPanel(m_dlg.get());
    MarkComDevicesWhenListed(*Item<QComboBox>(IDC_COM));
    connect(new QShortcut(QKeySequence::HelpContents, this), &QShortcut::activated, this,
            [this] { m_dlg->OnHelp(); });
}

// The links end while the widgets they report to are still there.
KestrelWindow::~KestrelWindow() {
    SetPanel(nullptr);
    m_dlg.reset();
}

void KestrelWindow::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    menu.addAction(QString::fromUtf8(kAboutMenuText), this,
                   [this] { m_dlg->OnSysCommand(kAboutCommand); });
    menu.addAction(QString::fromUtf8(kTrafficMenuText), this, [this] { m_dlg->OnTraffic(); });
    menu.exec(event->globalPos());
}

void KestrelWindow::ShowAbout() {
    CAboutDlg about(this);
    about.exec();
}

TrafficMonitor* KestrelWindow::Monitor() const {
    return m_trafficMonitor.data();
}

void KestrelWindow::ShowTraffic(std::function<std::uint8_t()> unitInUse) {
    if (!m_trafficMonitor) {  // one for the whole run: closing it only hides it
        m_trafficMonitor = new TrafficMonitor(std::move(unitInUse), this);
    }
    m_trafficMonitor->ShowBeside(this);
}

HelpWindow* KestrelWindow::Help() const {
    return m_helpWindow.data();
}

void KestrelWindow::ShowHelp() {
    if (!m_helpWindow) {
        m_helpWindow = new HelpWindow(this);
        m_helpWindow->setAttribute(Qt::WA_DeleteOnClose);
    }
    m_helpWindow->show();
    m_helpWindow->raise();
    m_helpWindow->activateWindow();
}
