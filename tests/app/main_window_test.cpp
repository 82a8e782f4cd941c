#include <QAccessible>
#include <QFile>
#include <QKeyEvent>
#include <QLabel>
#include <QProcess>
#include <QTcpServer>
#include <QTest>
#include <QTreeWidget>
#include <thread>

#include "field_exchange.h"
#include "panel_fixture.h"

namespace {

using MainWindow = PanelTest;

TEST_F(MainWindow, CombosHoldTheirItems) {
    ASSERT_EQ(dlg->m_cbCom->count(), 255);
    EXPECT_EQ(dlg->m_cbCom->itemText(0), "COM1");
    EXPECT_EQ(dlg->m_cbCom->itemText(254), "COM255");
    EXPECT_EQ(dlg->m_cbCom->currentIndex(), 0);
    ASSERT_EQ(dlg->m_cbBaud->count(), 8);
    EXPECT_EQ(dlg->m_cbBaud->itemText(0), "1200");
    EXPECT_EQ(dlg->m_cbBaud->itemText(7), "115200");
    EXPECT_EQ(dlg->m_cbBaud->currentIndex(), 0);
    ASSERT_EQ(dlg->m_cbProtocol->count(), 2);
    EXPECT_EQ(dlg->m_cbProtocol->itemText(0), "MODBUS TCP");
    EXPECT_EQ(dlg->m_cbProtocol->itemText(1), "MODBUS RTU");
    EXPECT_EQ(dlg->m_cbProtocol->currentIndex(), 0);
}

TEST_F(MainWindow, ControlsStartAsInitialised) {
    EXPECT_EQ(dlg->windowTitle(), "Quillon");
    EXPECT_EQ(Button(IDC_CONNECT)->text(), "Connect");
    EXPECT_TRUE(Button(IDC_CONNECT)->isDefault());
    EXPECT_FALSE(Button(IDC_ADVANCED)->isEnabled());
    EXPECT_FALSE(Button(IDC_SERIAL_SEARCH)->isEnabled());
    EXPECT_EQ(Button(IDC_SERIAL_OPEN)->text(), "Open");
    EXPECT_FALSE(dlg->m_cbBaud->isEnabled());
    EXPECT_TRUE(dlg->m_cbCom->isEnabled());
    EXPECT_TRUE(dlg->m_cbProtocol->isEnabled());
    for (int id : {1026, 1002, 1003, 1004, 1005, 1006, 1007, 1008, 1009, 1011, 1012}) {
        EXPECT_TRUE(Button(id)->isEnabled()) << id;
    }
    for (int id = IDC_DI1; id <= 1020; ++id) {
        EXPECT_FALSE(Box(id)->isEnabled()) << id;
        EXPECT_FALSE(Box(id)->isChecked()) << id;
    }
    EXPECT_EQ(Edit(IDC_IP)->text(), "192.168.1.232");
    EXPECT_EQ(Edit(IDC_PORT)->text(), "4196");
    EXPECT_EQ(Edit(IDC_AI1)->text(), "0");
    EXPECT_EQ(Edit(IDC_AI2)->text(), "0");
    EXPECT_FALSE(Edit(IDC_AI1)->isEnabled());
    EXPECT_EQ(Edit(IDC_ADDRESS)->text(), "1");
    EXPECT_TRUE(Edit(IDC_ADDRESS)->isReadOnly());
    EXPECT_EQ(dlg->m_bNetworkLink, 1);
    EXPECT_EQ(dlg->m_pSocket, nullptr);
    EXPECT_EQ(dlg->focusWidget(), Button(IDC_CONNECT));
}

TEST_F(MainWindow, IndicatorsFollowTheirIds) {
    const std::array<int, 4> di = {IDC_DI1, IDC_DI2, IDC_DI3, IDC_DI4};
    for (std::size_t n = 0; n < 4; ++n) {
        EXPECT_EQ(dlg->m_pDI[n], Box(di[n]));
        EXPECT_EQ(dlg->m_pDI[n]->text(), QStringLiteral("DI%1").arg(n + 1));
        EXPECT_EQ(dlg->m_pRelay[n]->text(), QStringLiteral("RL%1").arg(n + 1));
    }
}

TEST_F(MainWindow, EveryControlHasItsIdAndAName) {
    for (const ItemTemplate& item : kMainItems) {
        if (item.id == kNoId) {
            continue;
        }
        QWidget* widget = dlg->GetDlgItem(item.id);
        ASSERT_NE(widget, nullptr) << item.id;
        EXPECT_EQ(widget->accessibleDescription(), QString::number(item.id));
        EXPECT_FALSE(widget->accessibleName().isEmpty()) << item.id;
    }
    EXPECT_EQ(Edit(IDC_IP)->accessibleName(), "IP");
    EXPECT_EQ(Edit(IDC_PORT)->accessibleName(), "Port");
    EXPECT_EQ(Edit(IDC_AI1)->accessibleName(), "AI1");
}

TEST_F(MainWindow, LayoutFollowsDialogUnits) {
    const QSize units = dlg->BaseUnits();
    ASSERT_GT(units.width(), 0);
    const QRect connect = Button(IDC_CONNECT)->geometry();
    EXPECT_EQ(connect, dlg->DialogUnitsToPixels(15, 114, 46, 14));
    EXPECT_NEAR(connect.x(), 15 * units.width() / 4.0, 1.0);
    EXPECT_NEAR(connect.y(), 114 * units.height() / 8.0, 1.0);
    EXPECT_EQ(dlg->size(), dlg->DialogUnitsToPixels(0, 0, 396, 353).size());
    // A larger font scales every control with it.
    EXPECT_EQ(dlg->GetDlgItem(1025)->geometry(), dlg->DialogUnitsToPixels(15, 38, 362, 72));
}

TEST_F(MainWindow, TabOrderIsTemplateOrder) {
    std::vector<int> expected;
    for (const ItemTemplate& item : kMainItems) {
        QWidget* widget = dlg->GetDlgItem(item.id);
        if (item.id != kNoId && widget->focusPolicy() != Qt::NoFocus) {
            expected.push_back(item.id);
        }
    }
    std::vector<int> actual;
    QWidget* widget = Button(IDC_CONNECT);
    for (std::size_t n = 0; n < expected.size(); ++n) {
        actual.push_back(widget->accessibleDescription().toInt());
        widget = widget->nextInFocusChain();
        while (widget->focusPolicy() == Qt::NoFocus || widget->accessibleDescription().isEmpty()) {
            widget = widget->nextInFocusChain();
        }
    }
    EXPECT_EQ(actual, expected);
}

TEST_F(MainWindow, ReportPutsTheNewestLineFirst) {
    dlg->AppendReport("A");
    dlg->AppendReport("B");
    dlg->AppendReport("C");
    EXPECT_EQ(dlg->m_strReport, "C\r\nB\r\nA\r\n");
    EXPECT_EQ(dlg->Item<QLabel>(IDC_REPORT)->text(), "C\nB\nA\n");
}

TEST_F(MainWindow, RefreshOverwritesTypedFields) {
    Edit(IDC_PORT)->setText("12");
    dlg->m_fAI1 = 4.9951171875F;
    dlg->OnRefreshView();
    EXPECT_EQ(Edit(IDC_PORT)->text(), "4196");
    EXPECT_EQ(Edit(IDC_AI1)->text(), "4.99512");
}

TEST_F(MainWindow, RefreshCanBeAskedForFromAnotherThread) {
    dlg->m_byAddress = 42;
    std::thread other([this] {
        QMetaObject::invokeMethod(dlg.get(), "OnRefreshView", Qt::BlockingQueuedConnection);
    });
    while (Edit(IDC_ADDRESS)->text() != "42") {
        QApplication::processEvents();
    }
    other.join();
}

TEST_F(MainWindow, ARefusedFieldStopsTheExchange) {
    Edit(IDC_IP)->setText("127.0.0.2");
    Edit(IDC_PORT)->setText("-1");
    dlg->m_strReport = "kept";
    EXPECT_FALSE(dlg->UpdateData(true));
    EXPECT_EQ(dlg->m_strIP, "127.0.0.2");  // exchanged before the refusal
    EXPECT_EQ(dlg->m_nPort, 4196U);        // refused: keeps its value
    EXPECT_EQ(dlg->m_strReport, "kept");   // after the refusal: untouched
    ASSERT_EQ(recorder.messages.size(), 1U) << recorder.Texts().join(" | ").toStdString();
    EXPECT_EQ(recorder.messages[0].text, QString::fromUtf8(kRefuseUnsigned));
    EXPECT_EQ(recorder.messages[0].icon, MessageIcon::Warning);
    EXPECT_EQ(recorder.messages[0].caption, ApplicationName());
    EXPECT_EQ(dlg->focusWidget(), Edit(IDC_PORT));
    EXPECT_EQ(Edit(IDC_PORT)->selectedText(), "-1");
}

TEST_F(MainWindow, AboutOpensForCommands0x0010To0x001F) {
    for (unsigned command : {0x0010U, 0x001FU}) {
        QString title;
        CloseNextModal([&title](QWidget* modal) { title = modal->windowTitle(); });
        dlg->OnSysCommand(command);
        EXPECT_EQ(title, QString::fromUtf8("关于 Kestrel")) << command;
    }
    dlg->OnSysCommand(0x0020);  // any other command opens nothing
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

// The icon is compiled into the panel's library; the window and the About box both draw it.
TEST_F(MainWindow, WindowAndAboutShowTheKestrelIcon) {
    EXPECT_TRUE(QFile::exists(":/kestrel.png"));
    EXPECT_FALSE(dlg->windowIcon().isNull());
    bool aboutIconDrawn = false;
    CloseNextModal([&aboutIconDrawn](QWidget* modal) {
        const auto* icon = modal->findChild<QLabel*>("item1100");
        aboutIconDrawn = icon && !icon->pixmap().isNull();
    });
    dlg->OnSysCommand(0x0010);
    EXPECT_TRUE(aboutIconDrawn);
}

TEST_F(MainWindow, EscapeClosesTheWindow) {
    dlg->setModal(true);
    int result = -1;
    QTimer::singleShot(0, [this] {
        QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
        QApplication::sendEvent(dlg.get(), &escape);
    });
    result = dlg->exec();
    EXPECT_EQ(result, QDialog::Rejected);
    EXPECT_FALSE(dlg->isVisible());
}

TEST_F(MainWindow, EnterInAFieldTogglesTheLinkAndKeepsTheWindowOpen) {
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
    Edit(IDC_IP)->setText("127.0.0.1");
    Edit(IDC_PORT)->setText(QString::number(server.serverPort()));
    Edit(IDC_IP)->setFocus();
    QTest::keyClick(Edit(IDC_IP), Qt::Key_Return);
    EXPECT_TRUE(dlg->isVisible());
    EXPECT_EQ(Button(IDC_CONNECT)->text(), "Disconnect");
    EXPECT_NE(dlg->m_pSocket, nullptr);
    QTest::keyClick(Edit(IDC_PORT), Qt::Key_Enter);
    EXPECT_TRUE(dlg->isVisible());
    EXPECT_EQ(Button(IDC_CONNECT)->text(), "Connect");
}

TEST(PanelExecutable, StartsShowsQuillonAndEndsWhenClosed) {
    QProcess panel;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("KESTREL_TRACE", "1");
    env.insert("KESTREL_DISCOVERY_SCOPE", "loopback");
    panel.setProcessEnvironment(env);
    panel.start(KESTREL_EXE, {});
    ASSERT_TRUE(panel.waitForStarted(10000));
    QByteArray log;
    ASSERT_TRUE(WaitFor(
        [&] {
            log += panel.readAllStandardError();
            return log.contains("panel window shown: Quillon");
        },
        20000))
        << log.toStdString();
    panel.terminate();  // closes the window as its close box does
    ASSERT_TRUE(panel.waitForFinished(20000));
    log += panel.readAllStandardError();
    EXPECT_EQ(panel.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(panel.exitCode(), 0);
    EXPECT_TRUE(log.contains("panel window closed")) << log.toStdString();
}

}  // namespace
