#include <unistd.h>

#include <QAccessible>
#include <QClipboard>
#include <QFile>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProcess>
#include <QScrollBar>
#include <QStyleOptionButton>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBrowser>
#include <QTextDocument>
#include <QTreeWidget>
#include <atomic>
#include <functional>
#include <thread>

#include "advanced_dlg.h"
#include "field_exchange.h"
#include "help_window.h"
#include "loopback_module.h"
#include "panel_fixture.h"
#include "pty_line.h"
#include "sim_harness.h"

namespace {

using MainWindow = PanelTest;

TEST_F(MainWindow, CombosHoldTheirItems) {
    ASSERT_EQ(dlg->Item<QComboBox>(IDC_COM)->count(), 255);
    EXPECT_EQ(dlg->Item<QComboBox>(IDC_COM)->itemText(0), "COM1");
    EXPECT_EQ(dlg->Item<QComboBox>(IDC_COM)->itemText(254), "COM255");
    EXPECT_EQ(dlg->Item<QComboBox>(IDC_COM)->currentIndex(), 0);
    ASSERT_EQ(dlg->Item<QComboBox>(IDC_BAUD)->count(), 8);
    EXPECT_EQ(dlg->Item<QComboBox>(IDC_BAUD)->itemText(0), "1200");
    EXPECT_EQ(dlg->Item<QComboBox>(IDC_BAUD)->itemText(7), "115200");
    EXPECT_EQ(dlg->Item<QComboBox>(IDC_BAUD)->currentIndex(), 0);
    ASSERT_EQ(dlg->Item<QComboBox>(IDC_PROTOCOL)->count(), 2);
    EXPECT_EQ(dlg->Item<QComboBox>(IDC_PROTOCOL)->itemText(0), "MODBUS TCP");
    EXPECT_EQ(dlg->Item<QComboBox>(IDC_PROTOCOL)->itemText(1), "MODBUS RTU");
    EXPECT_EQ(dlg->Item<QComboBox>(IDC_PROTOCOL)->currentIndex(), 0);
}

TEST_F(MainWindow, ControlsStartAsInitialised) {
    EXPECT_EQ(dlg->windowTitle(), "Quillon");
    EXPECT_EQ(Button(IDC_CONNECT)->text(), "Connect");
    EXPECT_TRUE(Button(IDC_CONNECT)->isDefault());
    EXPECT_FALSE(Button(IDC_ADVANCED)->isEnabled());
    EXPECT_FALSE(Button(IDC_SERIAL_SEARCH)->isEnabled());
    EXPECT_EQ(Button(IDC_SERIAL_OPEN)->text(), "Open");
    EXPECT_FALSE(dlg->Item<QComboBox>(IDC_BAUD)->isEnabled());
    EXPECT_TRUE(dlg->Item<QComboBox>(IDC_COM)->isEnabled());
    EXPECT_TRUE(dlg->Item<QComboBox>(IDC_PROTOCOL)->isEnabled());
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
    EXPECT_FALSE(ComOpen(*dlg));
    EXPECT_FALSE(TcpConnected(*dlg));
    EXPECT_EQ(dlg->focusWidget(), Button(IDC_CONNECT));
}

TEST_F(MainWindow, IndicatorsFollowTheirIds) {
    const std::array<int, 4> di = {IDC_DI1, IDC_DI2, IDC_DI3, IDC_DI4};
    for (std::size_t n = 0; n < 4; ++n) {
        EXPECT_EQ(dlg->Item<QCheckBox>(DiId(n)), Box(di[n]));
        EXPECT_EQ(dlg->Item<QCheckBox>(DiId(n))->text(), QStringLiteral("DI%1").arg(n + 1));
        EXPECT_EQ(dlg->Item<QCheckBox>(RelayId(n))->text(), QStringLiteral("RL%1").arg(n + 1));
    }
}

QString AccessibleName(QWidget* widget) {
    QAccessibleInterface* face = QAccessible::queryAccessibleInterface(widget);
    return face ? face->text(QAccessible::Name) : QString();
}

// Each control is known by what it shows (its caption, or the template's name where it has
// none) and described by its template id.
TEST_F(MainWindow, EveryControlIsNamedByWhatItShows) {
    QStringList names;
    for (QWidget* child : dlg->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        names << AccessibleName(child) << child->accessibleName();
    }
    for (const ItemTemplate& item : kMainItems) {
        const QString name = QString::fromUtf8(item.caption ? item.caption : item.name);
        EXPECT_TRUE(names.contains(name)) << name.toStdString();
        if (item.id == kNoId) {
            continue;
        }
        QWidget* widget = dlg->GetDlgItem(item.id);
        ASSERT_NE(widget, nullptr) << item.id;
        EXPECT_EQ(widget->accessibleDescription(), QString::number(item.id));
        // Qt reads a combo box on Linux by its text and keeps the name beside it.
        EXPECT_EQ(
            item.kind == ItemKind::ComboBox ? widget->accessibleName() : AccessibleName(widget),
            name)
            << item.id;
    }
}

TEST_F(MainWindow, ButtonNamesFollowTheirCaptions) {
    LoopbackModule module;
    ConnectTo(module.Port());
    EXPECT_EQ(AccessibleName(Button(IDC_CONNECT)), "Disconnect");
    Button(IDC_CONNECT)->click();
    EXPECT_EQ(AccessibleName(Button(IDC_CONNECT)), "Connect");

    QTemporaryDir comDir;
    qputenv("KESTREL_COM_DIR", QFile::encodeName(comDir.path()));
    simtest::SimProcess sim({"--serial", "COM7"},
                            {"KESTREL_COM_DIR=" + QFile::encodeName(comDir.path()).toStdString()});
    dlg->Item<QComboBox>(IDC_COM)->setCurrentIndex(6);
    Button(IDC_SERIAL_OPEN)->click();
    EXPECT_EQ(AccessibleName(Button(IDC_SERIAL_OPEN)), "Close");
    Button(IDC_SERIAL_OPEN)->click();
    EXPECT_EQ(AccessibleName(Button(IDC_SERIAL_OPEN)), "Open");
    EXPECT_EQ(Button(IDC_SERIAL_OPEN)->accessibleDescription(), QString::number(IDC_SERIAL_OPEN));
    qunsetenv("KESTREL_COM_DIR");
}

// The "Com:" list marks the ports whose device exists each time it opens; the box's text stays
// the port's name.
TEST_F(MainWindow, ComListMarksThePortsThatExist) {
    QTemporaryDir comDir;
    const std::string folder = QFile::encodeName(comDir.path()).toStdString();
    qputenv("KESTREL_COM_DIR", QFile::encodeName(comDir.path()));
    PtyLine adapter;
    ASSERT_TRUE(adapter.Publish(folder, 7)) << adapter.Error();
    ASSERT_TRUE(QFile::link(comDir.path() + "/nowhere", comDir.path() + "/COM8"));
    QFile plainFile(comDir.path() + "/COM9");
    ASSERT_TRUE(plainFile.open(QIODevice::WriteOnly));
    auto* combo = dlg->Item<QComboBox>(IDC_COM);
    combo->setCurrentIndex(6);
    const auto marks = [combo](int port) {
        return std::pair(combo->itemData(port - 1, Qt::ToolTipRole).toString(),
                         combo->itemData(port - 1, Qt::AccessibleTextRole).toString());
    };
    const QString com7 = comDir.path() + "/COM7";
    combo->showPopup();
    EXPECT_EQ(marks(7), std::pair(com7, "COM7 (" + com7 + ")"));
    EXPECT_EQ(marks(8), std::pair(QString(), QString()));  // a link to nothing
    EXPECT_EQ(marks(9), std::pair(QString(), QString()));  // not a device
    EXPECT_EQ(combo->currentText(), "COM7");
    combo->hidePopup();

    // Unplugged from COM7, plugged in as COM8: the next opening shows it.
    ASSERT_TRUE(QFile::remove(com7) && QFile::remove(comDir.path() + "/COM8"));
    ASSERT_TRUE(adapter.Publish(folder, 8)) << adapter.Error();
    combo->showPopup();
    EXPECT_EQ(marks(7).first, QString());
    EXPECT_EQ(marks(8).first, comDir.path() + "/COM8");
    combo->hidePopup();
    qunsetenv("KESTREL_COM_DIR");
}

// Before a search has found the module no reader runs: a request goes out unwatched, and the
// report says that its reply is not read. A module whose block reports address 0 is then found,
// but neither its address nor its block is taken: requests keep their unit, "Advanced" stays off.
TEST_F(MainWindow, OnTheSerialLineTheReportSaysOnlyWhatIsRead) {
    QTemporaryDir comDir;
    qputenv("KESTREL_COM_DIR", QFile::encodeName(comDir.path()));
    PtyLine module;
    ASSERT_TRUE(module.Publish(QFile::encodeName(comDir.path()).toStdString(), 7));
    dlg->Item<QComboBox>(IDC_COM)->setCurrentIndex(6);
    Button(IDC_SERIAL_OPEN)->click();
    Button(IDC_RL1_ON)->click();
    EXPECT_EQ(ReportText(*dlg),
              "RL1 Closed was sent on COM7, but replies are not read until a "
              "search finds the module\r\n");
    QByteArray line;
    const auto received = [&](int count) {
        return WaitFor([&] {
            std::array<char, 64> buffer{};
            const ssize_t got = read(module.Master(), buffer.data(), buffer.size());
            line.append(buffer.data(), got > 0 ? got : 0);
            return line.size() >= count;
        });
    };
    ASSERT_TRUE(received(8));
    line.clear();
    Button(IDC_SERIAL_SEARCH)->click();
    ASSERT_TRUE(received(8));  // the read of five registers from unit 0xFF
    const QByteArray reply = Hex("00 03 0A 00 00 02 07 16 00 00 00 00 00 D3 D8");
    ASSERT_EQ(write(module.Master(), reply.data(), std::size_t(reply.size())), reply.size());
    ASSERT_TRUE(WaitFor([this] { return !dlg->Dlg().OperationRunning(); }));
    EXPECT_TRUE(
        ReportText(*dlg).startsWith("The module reports address 0, the broadcast "
                                    "address, which is no module's: requests still go "
                                    "to unit 1 and \"Advanced\" stays off\r\nFound "
                                    "device!\r\n"));
    EXPECT_FALSE(Button(IDC_ADVANCED)->isEnabled());
    line.clear();
    Button(IDC_QUERY_AI)->click();
    ASSERT_TRUE(received(8));
    EXPECT_EQ(line.toHex(' '), Hex("01 04 00 00 00 02 71 CB").toHex(' '));
    EXPECT_FALSE(WaitFor([this] { return ReportText(*dlg).contains("to RL1 Closed"); }, 1500));
    qunsetenv("KESTREL_COM_DIR");
}

// F1 opens the operator's part of the README, read-only and read out by assistive technology;
// Esc closes it.
TEST_F(MainWindow, F1OpensTheOperatorsGuideAndEscClosesIt) {
    dlg->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(dlg.get()));
    QTest::keyClick(dlg.get(), Qt::Key_F1);
    ASSERT_NE(dlg->Help(), nullptr);
    QTextBrowser* text = dlg->Help()->Text();
    EXPECT_TRUE(text->isReadOnly() && !text->openLinks() && !text->openExternalLinks());
    EXPECT_EQ(AccessibleName(text), "Kestrel help");
    EXPECT_TRUE(text->toPlainText().contains("Traffic monitor"));
    EXPECT_FALSE(text->toPlainText().contains("For developers"));
    QTest::keyClick(dlg->Help(), Qt::Key_Escape);
    EXPECT_TRUE(WaitFor([this] { return dlg->Help() == nullptr; }));
}

TEST_F(MainWindow, LayoutFollowsDialogUnits) {
    const QSizeF units = dlg->BaseUnits();
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

// The report: newest line first, CR LF kept in the member, and a text that scrolls, can be
// selected and copied by keyboard, and is read out by assistive technology.
class Report : public PanelTest {
  protected:
    QPlainTextEdit* Shown() const { return dlg->Item<QPlainTextEdit>(IDC_REPORT); }
};

TEST_F(Report, PutsTheNewestLineFirst) {
    dlg->Dlg().AppendReport("A");
    dlg->Dlg().AppendReport("B");
    dlg->Dlg().AppendReport("C");
    EXPECT_EQ(ReportText(*dlg), "C\r\nB\r\nA\r\n");
    ASSERT_NE(Shown(), nullptr);
    EXPECT_EQ(Shown()->toPlainText(), "C\nB\nA\n");
    EXPECT_TRUE(Shown()->isReadOnly());
    dlg->SetText(IDC_REPORT, "replaced\r\n");  // not the lines shown with some before them
    EXPECT_EQ(Shown()->toPlainText(), "replaced\n");
}

TEST_F(Report, AssistiveTechnologyReadsItsText) {
    dlg->Dlg().AppendReport("TCP Client Connected to 127.0.0.1 : 4196");
    QAccessibleInterface* face = QAccessible::queryAccessibleInterface(Shown());
    ASSERT_NE(face, nullptr);
    EXPECT_EQ(face->text(QAccessible::Name), "Report");
    EXPECT_TRUE(face->state().readOnly);
    QAccessibleTextInterface* text = face->textInterface();
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(text->text(0, text->characterCount()), "TCP Client Connected to 127.0.0.1 : 4196\n");
}

TEST_F(Report, KeyboardSelectsAndCopiesAndASelectionOutlivesNewLines) {
    dlg->Dlg().AppendReport("older");
    dlg->Dlg().AppendReport("newest");
    Shown()->setFocus();
    Shown()->moveCursor(QTextCursor::Start);
    QTest::keyClick(Shown(), Qt::Key_End, Qt::ShiftModifier);
    EXPECT_EQ(Shown()->textCursor().selectedText(), "newest");
    QTest::keyClick(Shown(), Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text(), "newest");
    dlg->Dlg().AppendReport("latest");
    EXPECT_EQ(Shown()->textCursor().selectedText(), "newest");
}

TEST_F(Report, ScrollsAndARefreshWithoutNewLinesLeavesItAlone) {
    for (int n = 0; n < 30; ++n) {
        dlg->Dlg().AppendReport("line " + std::to_string(n));
    }
    EXPECT_GT(Shown()->verticalScrollBar()->maximum(), 0);
    const int revision = Shown()->document()->revision();
    dlg->Dlg().OnRefreshView();
    EXPECT_EQ(Shown()->document()->revision(), revision);
}

TEST_F(MainWindow, RefreshOverwritesTypedFields) {
    Edit(IDC_AI1)->setText("4.9951171875");
    ASSERT_TRUE(dlg->Dlg().UpdateData(true));
    Edit(IDC_PORT)->setText("12");
    dlg->Dlg().OnRefreshView();
    EXPECT_EQ(Edit(IDC_PORT)->text(), "4196");
    EXPECT_EQ(Edit(IDC_AI1)->text(), "4.99512");
}

TEST_F(MainWindow, RefreshCanBeAskedForFromAnotherThread) {
    TakeAddress(*dlg, 42);
    Edit(IDC_ADDRESS)->setText("1");
    std::atomic<bool> ran{false};
    std::thread other([this, &ran] {
        ran = QMetaObject::invokeMethod(
            dlg.get(), [this] { dlg->Dlg().OnRefreshView(); }, Qt::BlockingQueuedConnection);
    });
    EXPECT_TRUE(WaitFor([this] { return Edit(IDC_ADDRESS)->text() == "42"; }));
    other.join();
    EXPECT_TRUE(ran.load());
}

TEST_F(MainWindow, ARefusedFieldStopsTheExchange) {
    Edit(IDC_IP)->setText("127.0.0.2");
    Edit(IDC_PORT)->setText("-1");
    dlg->SetText(IDC_REPORT, "kept");
    EXPECT_FALSE(dlg->Dlg().UpdateData(true));
    EXPECT_EQ(ReportText(*dlg), "kept");  // after the refusal: not taken in
    ASSERT_EQ(recorder.messages.size(), 1U) << recorder.Texts().join(" | ").toStdString();
    EXPECT_EQ(recorder.messages[0].text, QString::fromUtf8(kRefuseUnsigned));
    EXPECT_EQ(recorder.messages[0].icon, MessageIcon::Warning);
    EXPECT_EQ(recorder.messages[0].caption, ApplicationName());
    EXPECT_EQ(dlg->focusWidget(), Edit(IDC_PORT));
    EXPECT_EQ(Edit(IDC_PORT)->selectedText(), "-1");
    dlg->Dlg().UpdateData(false);
    EXPECT_EQ(Edit(IDC_IP)->text(), "127.0.0.2");  // exchanged before the refusal
    EXPECT_EQ(Edit(IDC_PORT)->text(), "4196");     // refused: kept its value
    EXPECT_EQ(ReportText(*dlg), "");               // after the refusal: untouched
}

TEST_F(MainWindow, AboutOpensForCommands0x0010To0x001F) {
    for (unsigned command : {0x0010U, 0x001FU}) {
        QString title;
        CloseNextModal([&title](QWidget* modal) { title = modal->windowTitle(); });
        dlg->Dlg().OnSysCommand(command);
        EXPECT_EQ(title, QString::fromUtf8("关于 Kestrel")) << command;
    }
    dlg->Dlg().OnSysCommand(0x0020);  // any other command opens nothing
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
    dlg->Dlg().OnSysCommand(0x0010);
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
    EXPECT_TRUE(TcpConnected(*dlg));
    QTest::keyClick(Edit(IDC_PORT), Qt::Key_Enter);
    EXPECT_TRUE(dlg->isVisible());
    EXPECT_EQ(Button(IDC_CONNECT)->text(), "Connect");
}

// Enter in an editable combo box acts as in the other fields, whether the key reaches the
// combo's line edit or the combo box itself, also while the box completes a typed beginning.
// The box first takes the completed item.
struct ComboEnterCase {
    int combo;
    const char* typed;
    int selected;
    bool toLineEdit;
    Qt::Key key;
};

void PrintTo(const ComboEnterCase& c, std::ostream* out) {
    *out << c.combo << " '" << c.typed << (c.toLineEdit ? "' line edit " : "' combo ") << c.key;
}

class ComboEnter : public PanelTest, public ::testing::WithParamInterface<ComboEnterCase> {};

TEST_P(ComboEnter, EnterConnectsAndKeepsTheWindowOpen) {
    const ComboEnterCase& c = GetParam();
    LoopbackModule module;
    Edit(IDC_IP)->setText("127.0.0.1");
    Edit(IDC_PORT)->setText(QString::number(module.Port()));
    auto* combo = dlg->Item<QComboBox>(c.combo);
    combo->setCurrentIndex(1);
    dlg->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(dlg.get()));  // completion works in the active window
    combo->setFocus();
    combo->clearEditText();
    QWidget* target = c.toLineEdit ? static_cast<QWidget*>(combo->lineEdit()) : combo;
    QTest::keyClicks(target, c.typed);
    QTest::keyClick(target, c.key);
    EXPECT_TRUE(dlg->isVisible());
    EXPECT_EQ(ComboSelection(combo), c.selected);
    EXPECT_EQ(Button(IDC_CONNECT)->text(), "Disconnect");
    EXPECT_TRUE(module.WaitConnected());
}

INSTANTIATE_TEST_SUITE_P(
    Keys, ComboEnter,
    ::testing::Values(ComboEnterCase{IDC_PROTOCOL, "", -1, false, Qt::Key_Return},
                      ComboEnterCase{IDC_PROTOCOL, "MODBUS T", 0, false, Qt::Key_Return},
                      ComboEnterCase{IDC_PROTOCOL, "MODBUS T", 0, true, Qt::Key_Enter},
                      ComboEnterCase{IDC_COM, "COM", 0, false, Qt::Key_Enter},
                      ComboEnterCase{IDC_COM, "COM7", 6, true, Qt::Key_Return},
                      ComboEnterCase{IDC_COM, "COM25", 24, false, Qt::Key_Return}));

// ---- every text fits its control ----

// "text: need > room" when the text does not fit the room, nothing when it does.
QStringList Clipped(const QString& text, QSize need, QSize room) {
    if (need.width() <= room.width() && need.height() <= room.height()) {
        return {};
    }
    return {QStringLiteral("%1: %2x%3 > %4x%5")
                .arg(text)
                .arg(need.width())
                .arg(need.height())
                .arg(room.width())
                .arg(room.height())};
}

QSize TextSize(const QWidget& widget, const QString& text) {
    return {widget.fontMetrics().horizontalAdvance(text), widget.fontMetrics().height()};
}

// A push button's text goes inside its frame and default-button ring.
QStringList ClippedCaption(const QPushButton& button, const QString& text) {
    QStyleOptionButton option;
    option.initFrom(&button);
    option.text = text;
    option.features |= QStyleOptionButton::AutoDefaultButton;
    const QRect room =
        button.style()->subElementRect(QStyle::SE_PushButtonContents, &option, &button);
    return Clipped(text, TextSize(button, text), room.size());
}

// A combo box's items go into its line edit, which keeps 2 pixels clear left and right and 1
// above and below its text; the cursor after the text takes 1 more.
QStringList ClippedItems(const QComboBox& combo) {
    const QSize room = combo.lineEdit()->contentsRect().size() - QSize(2 + 2 + 1, 1 + 1);
    QStringList clipped;
    for (int n = 0; n < combo.count(); ++n) {
        clipped << Clipped(combo.itemText(n), TextSize(combo, combo.itemText(n)), room);
    }
    return clipped;
}

// What a label, check box or group box tells it needs across, with one line of text.
QSize Need(const QWidget& widget, const QString& text, int width) {
    return {width, TextSize(widget, text).height()};
}

// Measures every caption and combo box item of a shown window against its control.
QStringList ClippedTexts(const QWidget& window) {
    QStringList clipped;
    for (const QWidget* child : window.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (const auto* label = qobject_cast<const QLabel*>(child)) {
            const QSize need = Need(*label, label->text(), label->sizeHint().width());
            clipped << Clipped(label->text(), need, label->size());
        } else if (const auto* box = qobject_cast<const QCheckBox*>(child)) {
            clipped << Clipped(box->text(), Need(*box, box->text(), box->sizeHint().width()),
                               box->size());
        } else if (const auto* group = qobject_cast<const QGroupBox*>(child)) {
            const QSize need = Need(*group, group->title(), group->minimumSizeHint().width());
            clipped << Clipped(group->title(), need, group->size());
        } else if (const auto* button = qobject_cast<const QPushButton*>(child)) {
            clipped << ClippedCaption(*button, button->text());
        } else if (const auto* combo = qobject_cast<const QComboBox*>(child)) {
            clipped << ClippedItems(*combo);
        }
    }
    return clipped;
}

// Runs at the density the process runs at; the test below runs it at 120 dpi as well.
TEST_F(MainWindow, EveryTextFitsItsControl) {
    const QByteArray dpi = qgetenv("KESTREL_EXPECT_DPI");
    ASSERT_EQ(dlg->logicalDpiY(), dpi.isEmpty() ? 96 : dpi.toInt());
    QStringList clipped = ClippedTexts(*dlg);
    clipped << ClippedCaption(*Button(IDC_CONNECT), "Disconnect")
            << ClippedCaption(*Button(IDC_SERIAL_OPEN), "Close");
    CAdvancedDlg advanced;
    advanced.m_params.bytes = {1, 1, 2, 7, 0x16, 0, 0xFF, 0xFF, 0xFF, 0xFF};
    CloseNextModal([&clipped](QWidget* modal) { clipped << ClippedTexts(*modal); });
    advanced.DoModal(*dlg);
    CloseNextModal([&clipped](QWidget* modal) { clipped << ClippedTexts(*modal); });
    dlg->Dlg().OnSysCommand(0x0010);
    EXPECT_TRUE(clipped.isEmpty()) << clipped.join(" | ").toStdString();
}

// The largest difference of any colour channel between two pictures of the same size.
int LargestChannelDifference(const QImage& one, const QImage& other) {
    int largest = 0;
    for (int y = 0; y < one.height(); ++y) {
        for (int x = 0; x < one.width(); ++x) {
            const QColor a = one.pixelColor(x, y);
            const QColor b = other.pixelColor(x, y);
            largest = std::max({largest, std::abs(a.red() - b.red()),
                                std::abs(a.green() - b.green()), std::abs(a.blue() - b.blue())});
        }
    }
    return largest;
}

// Group boxes repaint from a picture of themselves; whatever one shows after a change must look
// as a plain group box in the same state looks.
TEST_F(MainWindow, GroupBoxesShowEveryChange) {
    const std::vector<std::pair<const char*, std::function<void(QGroupBox&)>>> changes = {
        {"title", [](QGroupBox& group) { group.setTitle("Another title"); }},
        {"disabled", [](QGroupBox& group) { group.setEnabled(false); }},
        {"size", [](QGroupBox& group) { group.resize(group.width() / 2, group.height() + 9); }},
        {"font", [](QGroupBox& group) { group.setFont(QFont("DejaVu Sans", 12)); }},
    };
    dlg->show();
    for (const auto& [what, change] : changes) {
        auto* group = dlg->findChildren<QGroupBox*>().front();
        QGroupBox plain(group->title(), dlg.get());
        plain.setGeometry(group->geometry());
        plain.setFont(group->font());
        plain.setEnabled(group->isEnabled());
        group->grab();  // the picture before the change
        change(*group);
        change(plain);
        const QImage shown = group->grab().toImage();
        const QImage expected = plain.grab().toImage();
        ASSERT_EQ(shown.size(), expected.size()) << what;
        EXPECT_LE(LargestChannelDifference(shown, expected), 3) << what;
    }
}

TEST(PanelTexts, FitTheirControlsAt120Dpi) {
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("QT_FONT_DPI", "120");
    env.insert("QT_ENABLE_HIGHDPI_SCALING", "0");  // the font grows, not the pixels
    env.insert("KESTREL_EXPECT_DPI", "120");
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QCoreApplication::applicationFilePath(),
                {"--gtest_filter=MainWindow.EveryTextFitsItsControl"});
    ASSERT_TRUE(child.waitForFinished(60000));
    const QByteArray output = child.readAll();
    EXPECT_EQ(child.exitCode(), 0) << output.toStdString();
    EXPECT_TRUE(output.contains("[  PASSED  ] 1 test")) << output.toStdString();
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
