#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <functional>
#include <memory>
#include <vector>

#include "kestrel_window.h"
#include "main_template.h"
#include "message_box.h"
#include "wait_for.h"

// The controls of the main window, read by id as the operator sees them.
int RelayId(std::size_t n);  // RL1..RL4
int DiId(std::size_t n);     // DI1..DI4
QString ReportText(const DialogPort& window);
// The address the "Address:" field shows.
int ShownAddress(const DialogPort& window);
// The TCP link is up (or being attempted): Connect says "Disconnect".
bool TcpConnected(const DialogPort& window);
// The COM port is open: Open says "Close".
bool ComOpen(const DialogPort& window);
// Where requests go, as the window shows it: 1 (TCP) unless a COM port is open, 0 then.
int NetworkLink(const DialogPort& window);

// Puts the address into the "Address:" field and takes the fields in, as a module's reply
// would set it.
void TakeAddress(KestrelWindow& window, int address);
// Empties the report, as if nothing had been written in it yet.
void ClearReport(KestrelWindow& window);

// Records every message box instead of showing it.
class MessageRecorder {
  public:
    MessageRecorder();
    ~MessageRecorder();
    std::vector<ShownMessage> messages;
    QStringList Texts() const;
};

// Closes the next modal dialog that opens, after running `inspect` on it.
void CloseNextModal(std::function<void(QWidget*)> inspect = {}, bool accept = false);

// Watches the window while an operation runs: the ticks of a 10 ms timer, each of which asks the
// status line to repaint, the paints it gets, and every status text seen, in order.
class OperationWatch : public QObject {
  public:
    explicit OperationWatch(const KestrelWindow& dlg);
    int ticks = 0;   // while the operation ran
    int paints = 0;  // of the status line, while the operation ran
    QStringList statuses;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void Tick();

    const KestrelWindow& m_dlg;
    QWidget* m_status;
    QTimer m_timer;
};

// The threads of this process now, the idle workers of Qt's painting aside.
int ThreadCount();

// A main window that never reaches anything but loopback.
class PanelTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    QLineEdit* Edit(int id) const { return dlg->Item<QLineEdit>(id); }
    QPushButton* Button(int id) const { return dlg->Item<QPushButton>(id); }
    QCheckBox* Box(int id) const { return dlg->Item<QCheckBox>(id); }
    // Presses the button and waits until the operation it started (a search, the paced parameter
    // write) has ended; false when one still runs after the time.
    bool RunOperation(int id, int timeoutMs = 30000) const;
    // Puts host and port into the fields and presses Connect.
    void ConnectTo(quint16 port, const QString& host = QStringLiteral("127.0.0.1"));

    MessageRecorder recorder;
    std::unique_ptr<KestrelWindow> dlg;
};
