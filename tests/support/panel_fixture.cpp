#include "panel_fixture.h"

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

void PanelTest::ConnectTo(quint16 port, const QString& host) {
    Edit(IDC_IP)->setText(host);
    Edit(IDC_PORT)->setText(QString::number(port));
    Button(IDC_CONNECT)->click();
}
