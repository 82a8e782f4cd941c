#include "panel_fixture.h"

#include <QDir>
#include <QFile>
#include <QThread>

#include "frames.h"

bool WaitFor(const std::function<bool()>& condition, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > timeoutMs) {
            return false;
        }
        QApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    }
    return true;
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
    dlg = std::make_unique<CKestrelDlg>();
    dlg->show();
}

void PanelTest::TearDown() {
    dlg.reset();
}

OperationWatch::OperationWatch(const CKestrelDlg& dlg)
    : m_dlg(dlg), m_status(dlg.GetDlgItem(IDC_STATUS)) {
    m_status->installEventFilter(this);
    QObject::connect(&m_timer, &QTimer::timeout, this, [this] { Tick(); });
    m_timer.start(10);
}

void OperationWatch::Tick() {
    if (!m_dlg.OperationRunning()) {
        return;
    }
    ++ticks;
    const QString status = m_dlg.OperationStatus();
    if (statuses.isEmpty() || statuses.back() != status) {
        statuses << status;
    }
    m_status->update();
}

bool OperationWatch::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_status && event->type() == QEvent::Paint && m_dlg.OperationRunning()) {
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
    return WaitFor([this] { return !dlg->OperationRunning(); }, timeoutMs);
}

void PanelTest::ConnectTo(quint16 port, const QString& host) {
    Edit(IDC_IP)->setText(host);
    Edit(IDC_PORT)->setText(QString::number(port));
    Button(IDC_CONNECT)->click();
}
