// The "Advanced" dialog driven as an operator drives it: what a showing puts in the fields, what
// OK takes back into the block, and what it refuses.
#include "advanced_dlg.h"

#include <gtest/gtest.h>

#include <QAccessible>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <array>

#include "modal_driver.h"
#include "panel_fixture.h"
#include "template_dialog.h"

namespace {

using Block = std::array<Byte, 10>;

constexpr int kOk = 1;
constexpr int kCancel = 2;
const QString kRefuseByteText = QString::fromUtf8("“请填入一个在0和255之间的整数。”");
const QString kRefuseWordText = QString::fromUtf8("“请填入一个在0和65535之间的整数。”");
const QString kSameAddressText = QString::fromUtf8("设备地址与上报地址不能一致!");

class AdvancedDialog : public ::testing::Test {
  protected:
    // Shows the dialog over `block`, lets the steps work on it, and returns what DoModal said.
    int Show(const Block& block, std::vector<ModalStep> steps) {
        advanced.m_params.bytes = block;
        return ShowAgain(std::move(steps));
    }
    int ShowAgain(std::vector<ModalStep> steps) {
        DriveNextModal(std::move(steps));
        return advanced.DoModal(owner);
    }

    // An empty window for the dialog to be shown over.
    static constexpr DialogTemplate kOwnerTemplate = {"Owner", 100, 50, {}};
    CTemplateDialog owner{kOwnerTemplate, nullptr};
    MessageRecorder recorder;
    CAdvancedDlg advanced;
};

const Block kSample = {5, 1, 2, 7, 0x16, 0xAB, 0x27, 0x10, 0x01, 0xF4};

// ---- showing ----

struct ShowingCase {
    Block block;
    const char* version;
    const char* baudText;
    int baudIndex;
};

void PrintTo(const ShowingCase& c, std::ostream* out) {
    *out << c.version << " baud " << c.baudIndex;
}

class AdvancedShowing : public AdvancedDialog, public ::testing::WithParamInterface<ShowingCase> {};

TEST_P(AdvancedShowing, FieldsShowTheBlock) {
    const ShowingCase& c = GetParam();
    QStringList shown;
    int comboItems = 0;
    int comboIndex = -2;
    Show(c.block, {[&](CTemplateDialog& d) {
             for (int id :
                  {IDC_ADV_VERSION, IDC_ADV_SLAVE, IDC_ADV_UPLOAD_ENABLE, IDC_ADV_UPLOAD_ADDR,
                   IDC_ADV_AI1_PERIOD, IDC_ADV_AI2_PERIOD, IDC_ADV_BAUD}) {
                 shown << FieldText(d, id);
             }
             comboItems = d.Item<QComboBox>(IDC_ADV_BAUD)->count();
             comboIndex = d.Item<QComboBox>(IDC_ADV_BAUD)->currentIndex();
         }});
    const auto period = [](Byte high, Byte low) { return QString::number(high * 256 + low); };
    const Block& b = c.block;
    EXPECT_EQ(shown, (QStringList{c.version, QString::number(b[0]), QString::number(b[1]),
                                  QString::number(b[2]), period(b[6], b[7]), period(b[8], b[9]),
                                  c.baudText}));
    EXPECT_EQ(comboItems, 8);
    EXPECT_EQ(comboIndex, c.baudIndex);
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, AdvancedShowing,
    ::testing::Values(ShowingCase{{1, 0, 2, 0, 0x16, 0, 0x27, 0x10, 0, 0}, "V16", "1200", 0},
                      ShowingCase{{9, 1, 3, 3, 0x0A, 0, 0xFF, 0xFF, 0x01, 0xF4}, "Va", "9600", 3},
                      ShowingCase{{247, 1, 0, 7, 0xFF, 0, 0, 0, 0, 1}, "Vff", "115200", 7},
                      ShowingCase{{0, 255, 255, 8, 0, 0, 0, 0, 0x27, 0x10}, "V0", "", -1},
                      ShowingCase{{1, 0, 2, 0xFF, 0x20, 0, 0, 0, 0, 0}, "V20", "", -1}));

// ---- confirming ----

struct ConfirmCase {
    const char* ai1;
    const char* ai2;
    const char* enable;
    int baudIndex;
    Block stored;
};

void PrintTo(const ConfirmCase& c, std::ostream* out) {
    *out << c.ai1 << "/" << c.ai2 << " enable " << c.enable << " baud " << c.baudIndex;
}

class AdvancedConfirm : public AdvancedDialog, public ::testing::WithParamInterface<ConfirmCase> {};

// Periods fill 16 bits; bytes 4 and 5 are never touched; no baud selected stores 0xFF.
TEST_P(AdvancedConfirm, OkStoresTheFieldsIntoTheBlock) {
    const ConfirmCase& c = GetParam();
    const int result = Show(kSample, {[&](CTemplateDialog& d) {
                                          Type(d, IDC_ADV_SLAVE, QStringLiteral("9"));
                                          Type(d, IDC_ADV_UPLOAD_ADDR, QStringLiteral("3"));
                                          Type(d, IDC_ADV_UPLOAD_ENABLE, c.enable);
                                          Type(d, IDC_ADV_AI1_PERIOD, c.ai1);
                                          Type(d, IDC_ADV_AI2_PERIOD, c.ai2);
                                          Choose(d, IDC_ADV_BAUD, c.baudIndex);
                                      },
                                      [](CTemplateDialog& d) { Click(d, kOk); }});
    EXPECT_EQ(result, CAdvancedDlg::IDOK);
    EXPECT_EQ(advanced.m_params.bytes, c.stored);
    EXPECT_TRUE(recorder.messages.empty()) << recorder.Texts().join("|").toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Fields, AdvancedConfirm,
    ::testing::Values(
        ConfirmCase{"65535", "0", "1", 2, {9, 1, 3, 2, 0x16, 0xAB, 0xFF, 0xFF, 0, 0}},
        ConfirmCase{"0", "4464", "0", 7, {9, 0, 3, 7, 0x16, 0xAB, 0, 0, 0x11, 0x70}},
        ConfirmCase{"10000", "500", "7", -1, {9, 7, 3, 0xFF, 0x16, 0xAB, 0x27, 0x10, 0x01, 0xF4}},
        ConfirmCase{" +42 ", "65535", "255", 0, {9, 255, 3, 0, 0x16, 0xAB, 0, 42, 0xFF, 0xFF}}));

TEST_F(AdvancedDialog, AByteSelectingNoBaudIsStoredAs0xFF) {
    EXPECT_EQ(Show({1, 0, 2, 8, 0x16, 0, 0, 0, 0, 0}, {[](CTemplateDialog& d) { Click(d, kOk); }}),
              CAdvancedDlg::IDOK);
    EXPECT_EQ(advanced.m_params.bytes[3], 0xFF);
}

TEST_F(AdvancedDialog, EqualAddressesAreRefusedAndTheDialogStaysOpen) {
    bool openAfterRefusal = false;
    const int result = Show(kSample, {[](CTemplateDialog& d) {
                                          Type(d, IDC_ADV_SLAVE, QStringLiteral("5"));
                                          Type(d, IDC_ADV_UPLOAD_ADDR, QStringLiteral("5"));
                                          Type(d, IDC_ADV_AI1_PERIOD, QStringLiteral("300"));
                                          Click(d, kOk);
                                      },
                                      [&](CTemplateDialog& d) {
                                          openAfterRefusal = d.isVisible();
                                          EXPECT_EQ(advanced.m_params.bytes[2], 5);
                                          EXPECT_EQ(advanced.m_params.bytes[7], 44);
                                          Type(d, IDC_ADV_UPLOAD_ADDR, QStringLiteral("6"));
                                          Click(d, kOk);
                                      }});
    EXPECT_TRUE(openAfterRefusal);
    EXPECT_EQ(result, CAdvancedDlg::IDOK);
    ASSERT_EQ(recorder.messages.size(), 1U);
    EXPECT_EQ(recorder.messages[0].text, kSameAddressText);
    EXPECT_EQ(recorder.messages[0].icon, MessageIcon::None);
    EXPECT_EQ(advanced.m_params.bytes, (Block{5, 1, 6, 7, 0x16, 0xAB, 0x01, 0x2C, 0x01, 0xF4}));
}

// ---- refusals ----

struct RefusalCase {
    int field;
    const char* text;
    const QString* message;
};

void PrintTo(const RefusalCase& c, std::ostream* out) {
    *out << c.field << " '" << c.text << "'";
}

class AdvancedRefusal : public AdvancedDialog, public ::testing::WithParamInterface<RefusalCase> {};

// One warning, the focus on the refused field, nothing compared or stored; Cancel then gives 2.
TEST_P(AdvancedRefusal, ABadFieldIsRefusedOnceAndCancelStillCancels) {
    const RefusalCase& c = GetParam();
    int focusId = 0;
    bool openAfterRefusal = false;
    // Slave and upload address 0 after the cut would also trip the address comparison.
    const int result = Show(kSample, {[&](CTemplateDialog& d) {
                                          Type(d, IDC_ADV_SLAVE, QStringLiteral("0"));
                                          Type(d, IDC_ADV_UPLOAD_ADDR, QStringLiteral("0"));
                                          Type(d, c.field, c.text);
                                          Click(d, kOk);
                                      },
                                      [&](CTemplateDialog& d) {
                                          openAfterRefusal = d.isVisible();
                                          QWidget* focus = d.focusWidget();
                                          focusId =
                                              focus ? focus->accessibleDescription().toInt() : 0;
                                          Click(d, kCancel);
                                      }});
    EXPECT_EQ(result, CAdvancedDlg::IDCANCEL);
    EXPECT_TRUE(openAfterRefusal);
    EXPECT_EQ(focusId, c.field);
    ASSERT_EQ(recorder.messages.size(), 1U) << recorder.Texts().join("|").toStdString();
    EXPECT_EQ(recorder.messages[0].text, *c.message);
    EXPECT_EQ(recorder.messages[0].icon, MessageIcon::Warning);
    EXPECT_EQ(advanced.m_params.bytes, kSample);
}

INSTANTIATE_TEST_SUITE_P(
    Fields, AdvancedRefusal,
    ::testing::Values(RefusalCase{IDC_ADV_SLAVE, "256", &kRefuseByteText},
                      RefusalCase{IDC_ADV_UPLOAD_ADDR, "-1", &kRefuseByteText},
                      RefusalCase{IDC_ADV_UPLOAD_ENABLE, "", &kRefuseByteText},
                      RefusalCase{IDC_ADV_UPLOAD_ENABLE, "1x", &kRefuseByteText},
                      RefusalCase{IDC_ADV_AI1_PERIOD, "-5", &kRefuseWordText},
                      RefusalCase{IDC_ADV_AI2_PERIOD, "1.5", &kRefuseWordText},
                      RefusalCase{IDC_ADV_AI1_PERIOD, "65536", &kRefuseWordText},
                      RefusalCase{IDC_ADV_AI2_PERIOD, "4294967295", &kRefuseWordText}));

TEST_F(AdvancedDialog, EscapeAndTheCloseBoxCancel) {
    EXPECT_EQ(Show(kSample, {[](CTemplateDialog& d) {
                       Type(d, IDC_ADV_SLAVE, QStringLiteral("77"));
                       QTest::keyClick(d.GetDlgItem(IDC_ADV_SLAVE), Qt::Key_Escape);
                   }}),
              CAdvancedDlg::IDCANCEL);
    EXPECT_EQ(Show(kSample, {[](CTemplateDialog& d) { d.close(); }}), CAdvancedDlg::IDCANCEL);
    EXPECT_EQ(advanced.m_params.bytes, kSample);
}

TEST_F(AdvancedDialog, ReturnInAFieldConfirmsThroughOk) {
    EXPECT_EQ(Show(kSample, {[](CTemplateDialog& d) {
                       Type(d, IDC_ADV_SLAVE, QStringLiteral("2"));  // equal to the upload address
                       QTest::keyClick(d.GetDlgItem(IDC_ADV_SLAVE), Qt::Key_Return);
                       Type(d, IDC_ADV_SLAVE, QStringLiteral("3"));
                       QTest::keyClick(d.GetDlgItem(IDC_ADV_SLAVE), Qt::Key_Return);
                   }}),
              CAdvancedDlg::IDOK);
    EXPECT_EQ(recorder.Texts(), QStringList{kSameAddressText});
    EXPECT_EQ(advanced.m_params.bytes[0], 3);
}

// Enter in "Baudrate:" presses OK, whether the key reaches the combo's line edit or the combo
// box itself, also while the box completes a typed beginning: the completed rate is stored.
TEST_F(AdvancedDialog, EnterInTheBaudBoxConfirmsThroughOk) {
    for (const bool toLineEdit : {false, true}) {
        EXPECT_EQ(Show(kSample, {[&](CTemplateDialog& d) {
                           auto* combo = d.Item<QComboBox>(IDC_ADV_BAUD);
                           d.activateWindow();
                           ASSERT_TRUE(QTest::qWaitForWindowActive(&d));
                           combo->setFocus();
                           combo->clearEditText();
                           QWidget* target =
                               toLineEdit ? static_cast<QWidget*>(combo->lineEdit()) : combo;
                           QTest::keyClicks(target, QStringLiteral("57"));
                           QTest::keyClick(target, toLineEdit ? Qt::Key_Enter : Qt::Key_Return);
                       }}),
                  CAdvancedDlg::IDOK)
            << toLineEdit;
        EXPECT_EQ(advanced.m_params.bytes[3], 6) << toLineEdit;
    }
}

// ---- the controls ----

TEST_F(AdvancedDialog, ControlsCarryIdsNamesAndTheTemplateTabOrder) {
    const std::vector<int> templateOrder = {1, 2, 1034, 1035, 1036, 1037, 1039, 1038, 1040};
    std::vector<int> tabOrder;
    QStringList unnamed;
    bool okIsDefault = false;
    bool cancelIsDefault = true;
    QString title;
    Show(
        kSample, {[&](CTemplateDialog& d) {
            title = d.windowTitle();
            okIsDefault = d.Item<QPushButton>(1)->isDefault();
            cancelIsDefault = d.Item<QPushButton>(2)->isDefault();
            for (int id : templateOrder) {
                QWidget* item = d.GetDlgItem(id);
                QAccessibleInterface* face = QAccessible::queryAccessibleInterface(item);
                if (!item || item->accessibleDescription() != QString::number(id) || !face ||
                    (face->text(QAccessible::Name).isEmpty() && item->accessibleName().isEmpty())) {
                    unnamed << QString::number(id);
                }
            }
            QWidget* widget = d.GetDlgItem(1);
            do {
                const int id = widget->accessibleDescription().toInt();
                if (id != 0 && widget->focusPolicy() != Qt::NoFocus &&
                    (tabOrder.empty() || tabOrder.back() != id)) {
                    tabOrder.push_back(id);
                }
                widget = widget->nextInFocusChain();
            } while (widget != d.GetDlgItem(1) && tabOrder.size() < 50);
        }});
    EXPECT_EQ(title, "Advanced");
    EXPECT_TRUE(unnamed.isEmpty()) << unnamed.join(",").toStdString();
    EXPECT_EQ(tabOrder, templateOrder);
    EXPECT_TRUE(okIsDefault);
    EXPECT_FALSE(cancelIsDefault);
}

TEST_F(AdvancedDialog, TheVersionFieldIsReadOnlyAndOkHasTheFocus) {
    bool readOnly = false;
    bool okFocused = false;
    Show(kSample, {[&](CTemplateDialog& d) {
             readOnly = d.Item<QLineEdit>(IDC_ADV_VERSION)->isReadOnly();
             okFocused = d.focusWidget() == d.GetDlgItem(1);
         }});
    EXPECT_TRUE(readOnly);
    EXPECT_TRUE(okFocused);
}

// One object serves every showing: its members keep what the last showing left, and each
// showing builds a fresh window with a fresh list of rates.
TEST_F(AdvancedDialog, MembersOutliveTheShowing) {
    ASSERT_EQ(Show(kSample, {[](CTemplateDialog& d) {
                       Type(d, IDC_ADV_SLAVE, QStringLiteral("12"));
                       Type(d, IDC_ADV_AI2_PERIOD, QStringLiteral("4464"));
                       Choose(d, IDC_ADV_BAUD, 4);
                       Click(d, kOk);
                   }}),
              CAdvancedDlg::IDOK);
    EXPECT_EQ(advanced.m_bySlaveAddr, 12);
    EXPECT_EQ(advanced.m_byUploadAddr, 2);
    EXPECT_EQ(advanced.m_byUploadEnable, 1);
    EXPECT_EQ(advanced.m_nAI1Period, 10000U);
    EXPECT_EQ(advanced.m_nAI2Period, 4464U);
    EXPECT_EQ(advanced.m_strVersion, "V16");

    QStringList shown;
    int comboItems = 0;
    EXPECT_EQ(ShowAgain({[&](CTemplateDialog& d) {
                  shown << FieldText(d, IDC_ADV_SLAVE) << FieldText(d, IDC_ADV_AI2_PERIOD)
                        << FieldText(d, IDC_ADV_BAUD);
                  comboItems = d.Item<QComboBox>(IDC_ADV_BAUD)->count();
              }}),
              CAdvancedDlg::IDCANCEL);
    EXPECT_EQ(shown, (QStringList{"12", "4464", "19200"}));
    EXPECT_EQ(comboItems, 8);
    EXPECT_EQ(advanced.m_nAI2Period, 4464U);
}

}  // namespace
