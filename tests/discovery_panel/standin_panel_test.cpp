// The device list against a scripted search library: verdicts, columns, clicks, and a window
// that goes on without a usable library.
#include <QHeaderView>
#include <QTest>
#include <QTreeWidget>

#include "loopback_module.h"
#include "modbus_socket.h"
#include "panel_fixture.h"
#include "standin.h"

namespace {

constexpr const char* kStandinName = "KestrelStandin";

// A module the panel judges right on every count.
StandinModule Sound(const char* name = "RLY1", const char* ip = "127.0.0.21", quint16 port = 4196) {
    return {name, ip, NetworkOrder(port), 0, 1, 11, 0, 0};
}

QStringList RowTexts(const QTreeWidget* list, int row) {
    QStringList texts;
    const QTreeWidgetItem* item = list->topLevelItem(row);
    for (int column = 0; column < list->columnCount(); ++column) {
        texts << item->text(column);
    }
    return texts;
}

class StandinPanel : public PanelTest {
  protected:
    void SetUp() override {
        ResetCommandTable();
        dlg = std::make_unique<KestrelWindow>(nullptr, kStandinName);
        dlg->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(dlg.get()));
    }

    QTreeWidget* List() const { return dlg->Item<QTreeWidget>(IDC_DEVICE_LIST); }
    void Search() const { EXPECT_TRUE(RunOperation(IDC_NET_SEARCH)); }
    void Search(const std::vector<StandinModule>& modules) const {
        standin.Script(modules);
        Search();
    }
    QPoint RowCentre(int row) const {
        return List()->visualItemRect(List()->topLevelItem(row)).center();
    }
    void ClickList(QPoint at) const {
        QTest::mouseClick(List()->viewport(), Qt::LeftButton, Qt::NoModifier, at);
        QApplication::processEvents();  // the click is handled once the list has settled
    }
    QStringList CallsOf(const QString& function) const {
        return standin.Calls().filter(QRegularExpression(QStringLiteral("^%1( |$)").arg(function)));
    }

    static inline const Standin standin{kStandinName};
};

TEST_F(StandinPanel, StartsSilentlyWithSixLeftAlignedColumnsAndWholeRowSelection) {
    ASSERT_TRUE(standin.Loaded());
    EXPECT_TRUE(recorder.messages.empty());
    const QStringList headings = {"Name", "IP", "Port", "Work Mode", "Protocol", "Uart Param"};
    const std::array<int, 6> widths = {80, 100, 50, 130, 130, 80};
    ASSERT_EQ(List()->columnCount(), 6);
    for (int n = 0; n < 6; ++n) {
        EXPECT_EQ(List()->headerItem()->text(n), headings[n]);
        EXPECT_EQ(List()->columnWidth(n), widths[static_cast<std::size_t>(n)]) << n;
        EXPECT_EQ(List()->headerItem()->textAlignment(n) & Qt::AlignHorizontal_Mask, Qt::AlignLeft);
    }
    EXPECT_EQ(List()->selectionBehavior(), QAbstractItemView::SelectRows);
    EXPECT_EQ(List()->selectionMode(), QAbstractItemView::ExtendedSelection);
    EXPECT_EQ(List()->topLevelItemCount(), 0);
}

// ---- the protocol the window shows --------------------------------------------------------------

// The verdicts themselves are the search's (device_search_test.cpp); the window gives it the
// framing its "Protocol:" box shows, and none for no item or an edited text.
TEST_F(StandinPanel, NoProtocolItemChosenFitsNoModule) {
    for (const bool typed : {false, true}) {
        SCOPED_TRACE(typed ? "edited text" : "no item");
        auto* protocol = dlg->Item<QComboBox>(IDC_PROTOCOL);
        protocol->setCurrentIndex(typed ? 0 : -1);
        if (typed) {
            protocol->setEditText(QStringLiteral("MODBUS"));
        }
        Search({Sound("M", "127.0.0.31")});
        ASSERT_EQ(List()->topLevelItemCount(), 1);
        EXPECT_EQ(RowTexts(List(), 0)[4], "Protocol Error!");
    }
    dlg->Item<QComboBox>(IDC_PROTOCOL)->setCurrentIndex(1);
    Search({Sound("M", "127.0.0.31")});
    EXPECT_EQ(RowTexts(List(), 0)[4], "Protocol Error!");  // a TCP module, RTU chosen
}

// ---- the list -----------------------------------------------------------------------------------

TEST_F(StandinPanel, RowsShowNameAddressAndHostOrderPort) {
    Search({Sound("ALPHA", "127.0.0.21", 4196), Sound("BRAVO", "127.0.0.22", 502)});
    ASSERT_EQ(List()->topLevelItemCount(), 2);
    EXPECT_EQ(RowTexts(List(), 0),
              QStringList({"ALPHA", "127.0.0.21", "4196", "TCP Server", "MODBUS TCP", "Correct!"}));
    EXPECT_EQ(RowTexts(List(), 1).mid(0, 3), QStringList({"BRAVO", "127.0.0.22", "502"}));
    EXPECT_EQ(CallsOf("StartSearchDev").size(), 1);
}

TEST_F(StandinPanel, ASearchReplacesTheListAndEmptyResultsEmptyIt) {
    Search({Sound("A", "127.0.0.21"), Sound("B", "127.0.0.22"), Sound("C", "127.0.0.23")});
    ASSERT_EQ(List()->topLevelItemCount(), 3);
    Search({Sound("D", "127.0.0.24")});
    ASSERT_EQ(List()->topLevelItemCount(), 1);
    EXPECT_EQ(List()->topLevelItem(0)->text(0), "D");
    EXPECT_EQ(dlg->Text(IDC_STATUS), "");
    Search({});
    EXPECT_EQ(List()->topLevelItemCount(), 0);
    EXPECT_EQ(dlg->Text(IDC_STATUS), "No module answered");
}

TEST_F(StandinPanel, OnlyTheLow16BitsOfTheSearchResultCount) {
    standin.Script(0x30002, {Sound("A", "127.0.0.21"), Sound("B", "127.0.0.22")});
    Search();
    EXPECT_EQ(List()->topLevelItemCount(), 2);
    EXPECT_TRUE(CallsOf("GetIP").filter(QStringLiteral(" 2")).isEmpty());
}

TEST_F(StandinPanel, AClickOnARowTakesItsAddressAndPort) {
    Search({Sound("A", "127.0.0.21", 502), Sound("B", "127.0.0.22", 4196)});
    ASSERT_EQ(List()->topLevelItemCount(), 2);
    standin.ResetCalls();
    ClickList(RowCentre(1));
    EXPECT_EQ(Edit(IDC_IP)->text(), "127.0.0.22");
    EXPECT_EQ(Edit(IDC_PORT)->text(), "4196");
    EXPECT_EQ(CallsOf("GetIP"), QStringList({"GetIP 1"}));
}

TEST_F(StandinPanel, AClickTakesTheLowestSelectedRowWhicheverWasClicked) {
    Search({Sound("A", "127.0.0.21", 501), Sound("B", "127.0.0.22", 502),
            Sound("C", "127.0.0.23", 503)});
    ASSERT_EQ(List()->topLevelItemCount(), 3);
    List()->topLevelItem(1)->setSelected(true);
    // Row 2 joins the selection with the multiple-selection key held; row 1 is the lowest.
    QTest::mouseClick(List()->viewport(), Qt::LeftButton, Qt::ControlModifier, RowCentre(2));
    QApplication::processEvents();
    ASSERT_TRUE(List()->topLevelItem(2)->isSelected());
    EXPECT_EQ(Edit(IDC_IP)->text(), "127.0.0.22");
    EXPECT_EQ(Edit(IDC_PORT)->text(), "502");
}

TEST_F(StandinPanel, AClickOnEmptySpaceLeavesTheFieldsAlone) {
    Search({Sound("A", "127.0.0.21", 501), Sound("B", "127.0.0.22", 502)});
    ASSERT_EQ(List()->topLevelItemCount(), 2);
    const QPoint below(10, List()->viewport()->height() - 3);
    ASSERT_GT(below.y(), List()->visualItemRect(List()->topLevelItem(1)).bottom());
    Edit(IDC_IP)->setText(QStringLiteral("127.0.0.9"));  // typed, not yet taken
    Edit(IDC_PORT)->setText(QStringLiteral("777"));
    standin.ResetCalls();
    ClickList(below);
    EXPECT_EQ(Edit(IDC_IP)->text(), "127.0.0.9");
    EXPECT_EQ(Edit(IDC_PORT)->text(), "777");
    dlg->Dlg().UpdateData(false);  // the window's own values are untouched
    EXPECT_EQ(Edit(IDC_IP)->text(), "192.168.1.232");
    EXPECT_TRUE(CallsOf("GetIP").isEmpty());
}

TEST_F(StandinPanel, AClickWhileConnectedChangesTheFieldsButNotTheLink) {
    LoopbackModule module;
    ConnectTo(module.Port());
    ASSERT_TRUE(module.WaitBytes(24));  // the two parameter reads of a fresh link
    module.ClearReceived();
    Search({Sound("A", "127.0.0.21", 502)});
    ClickList(RowCentre(0));
    EXPECT_EQ(Edit(IDC_IP)->text(), "127.0.0.21");
    EXPECT_EQ(Edit(IDC_PORT)->text(), "502");
    EXPECT_EQ(Button(IDC_CONNECT)->text(), "Disconnect");
    Button(IDC_RL1_ON + 2)->click();  // relay 2 on
    ASSERT_TRUE(module.WaitBytes(12));
    // The same link carries the command, with no parameter reads of a new connection before it.
    EXPECT_EQ(module.Received(), Hex("000100000006 01050011FF00"));
}

// ---- no usable library --------------------------------------------------------------------------

class NoUsableLibrary : public PanelTest, public ::testing::WithParamInterface<const char*> {
  protected:
    void SetUp() override {
        ResetCommandTable();
        dlg = std::make_unique<KestrelWindow>(nullptr, GetParam());
        dlg->show();
    }
};

TEST_P(NoUsableLibrary, SaysSoOnceAndSearchDoesNothing) {
    ASSERT_EQ(recorder.messages.size(), 1U);
    EXPECT_EQ(recorder.messages[0].text, "Load library failed!");
    EXPECT_EQ(recorder.messages[0].icon, MessageIcon::None);
    // The library without GetDataBits, when there is one.
    const Standin partial(GetParam() ? GetParam() : "NoSuchLibrary");
    if (partial.Loaded()) {
        partial.Script({Sound()});
    }
    Button(IDC_NET_SEARCH)->click();
    Button(IDC_NET_SEARCH)->click();
    EXPECT_EQ(dlg->Item<QTreeWidget>(IDC_DEVICE_LIST)->topLevelItemCount(), 0);
    QTest::mouseClick(dlg->Item<QTreeWidget>(IDC_DEVICE_LIST)->viewport(), Qt::LeftButton,
                      Qt::NoModifier, {10, 10});
    QApplication::processEvents();
    EXPECT_EQ(Edit(IDC_IP)->text(), "192.168.1.232");
    if (partial.Loaded()) {
        EXPECT_TRUE(partial.Calls().isEmpty());
    }
    EXPECT_EQ(recorder.messages.size(), 1U);
}

TEST_P(NoUsableLibrary, TheRestOfTheWindowWorks) {
    LoopbackModule module;
    ConnectTo(module.Port());
    ASSERT_TRUE(module.WaitBytes(24));
    module.ClearReceived();
    Button(IDC_RL1_ON)->click();
    ASSERT_TRUE(module.WaitBytes(12));
    EXPECT_EQ(module.Received(), Hex("000100000006 01050010FF00"));
    EXPECT_EQ(recorder.messages.size(), 1U);
}

INSTANTIATE_TEST_SUITE_P(Libraries, NoUsableLibrary,
                         ::testing::Values("KestrelStandinMissing", "NoSuchLibrary", nullptr),
                         [](const auto& row) {
                             return std::string(row.param ? row.param : "NoName");
                         });

}  // namespace
