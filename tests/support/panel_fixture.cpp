#include "panel_fixture.h"

#include <QDir>
#include <QFile>
#include <QThread>
#include <array>
#include <string>

#include "frames.h"

int RelayId(std::size_t n) {
    return IDC_RL1 + static_cast<int>(n);
}

int DiId(std::size_t n) {
    static constexpr std::array<int, 4> kIds = {IDC_DI1, IDC_DI2, IDC_DI3, IDC_DI4};
    return kIds.at(n);
}

QString ReportText(const DialogPort& window) {
    return QString::fromStdString(window.Text(IDC_REPORT));
}

int ShownAddress(const DialogPort& window) {
    return std::stoi(window.Text(IDC_ADDRESS));
}

bool TcpConnected(const DialogPort& window) {
    return window.Text(IDC_CONNECT) == "Disconnect";
}

bool ComOpen(const DialogPort& window) {
    return window.Text(IDC_SERIAL_OPEN) == "Close";
}

int NetworkLink(const DialogPort& window) {
    return ComOpen(window) ? 0 : 1;
}

void TakeAddress(KestrelWindow& window, int address) {
    window.SetText(IDC_ADDRESS, std::to_string(address));
    window.Dlg().UpdateData(true);
}

void ClearReport(KestrelWindow& window) {
    window.SetText(IDC_REPORT, "");
    window.Dlg().UpdateData(true);
}

MessageRecorder::MessageRecorder() {
    SetMessageBoxHook([this](const ShownMessage& message) { messages.push_back(message); });
}

MessageRecorder::~MessageRecorder() {
    SetMessageBoxHook({});
}

QStringList MessageRecorder::Texts() const {
    QStringList texts;
    for (const auto& message : messages) {
        texts << message.text;
    }
    return texts;
}

void CloseNextModal(std::function<void(QWidget*)> inspect, bool accept) {
    auto* timer =
        new QTimer(QCoreApplication::instance());  // gone with the application at the latest
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, [timer, inspect, accept] {
        auto* modal = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (!modal) {
            return;
        }
        timer->stop();
        timer->deleteLater();
        if (inspect) {
            inspect(modal);
        }
        accept ? modal->accept() : modal->reject();
    });
    timer->start();
}

void PanelTest::SetUp() {
    ResetCommandTable();
    dlg = std::make_unique<KestrelWindow>();
    dlg->show();
}

void PanelTest::TearDown() {
    dlg.reset();
}

OperationWatch::OperationWatch(const KestrelWindow& dlg)
    : m_dlg(dlg), m_status(dlg.GetDlgItem(IDC_STATUS)) {
    m_status->installEventFilter(this);
    QObject::connect(&m_timer, &QTimer::timeout, this, [this] { Tick(); });
    m_timer.start(10);
}

void OperationWatch::Tick() {
    if (!m_dlg.Dlg().OperationRunning()) {
        return;
    }
    ++ticks;
    const QString status = QString::fromStdString(m_dlg.Text(IDC_STATUS));
    if (statuses.isEmpty() || statuses.back() != status) {
        statuses << status;
    }
    m_status->update();
}

bool OperationWatch::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_status && event->type() == QEvent::Paint && m_dlg.Dlg().OperationRunning()) {
        ++paints;
    }
    return QObject::eventFilter(watched, event);
}

int ThreadCount() {
    const QDir tasks(QStringLiteral("/proc/self/task"));
    int count = 0;
    for (const QString& task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile name(tasks.filePath(task + QStringLiteral("/comm")));
        // Qt's painting starts workers of its own for large fills, on the first paint that needs
        // them; they idle for a while and are none of the panel's.
        if (!name.open(QIODevice::ReadOnly) || name.readAll().trimmed() != "Thread (pooled)") {
            ++count;
        }
    }
    return count;
}

bool PanelTest::RunOperation(int id, int timeoutMs) const {
    Button(id)->click();
    return WaitFor([this] { return !dlg->Dlg().OperationRunning(); }, timeoutMs);
}

void PanelTest::ConnectTo(quint16 port, const QString& host) {
    Edit(IDC_IP)->setText(host);
    Edit(IDC_PORT)->setText(QString::number(port));
    Button(IDC_CONNECT)->click();
}
