#include "advanced_dlg.h"

#include <QComboBox>
#include <QPushButton>
#include <array>

#include "codec.h"
#include "dialog_template.h"
#include "message_box.h"
#include "serial_rates.h"

namespace {

constexpr std::array<ItemTemplate, 21> kAdvancedItems = {{
    {1, ItemKind::DefPushButton, "OK", kEnabled, 249, 13, 38, 11, nullptr},
    {2, ItemKind::PushButton, "Cancle", kEnabled, 249, 25, 38, 11, nullptr},
    {kNoId, ItemKind::Label, "Slave Addr:", kEnabled, 7, 31, 47, 8, nullptr},
    {kNoId, ItemKind::Label, "DI upload address:", kEnabled, 7, 73, 101, 8, nullptr},
    {kNoId, ItemKind::Label, "Version:", kEnabled, 7, 16, 33, 8, nullptr},
    {1034, ItemKind::Edit, nullptr, kReadOnly, 131, 14, 36, 12, "Version"},
    {1035, ItemKind::Edit, nullptr, kEnabled, 131, 28, 36, 12, "Slave Addr"},
    {1036, ItemKind::Edit, nullptr, kEnabled, 131, 70, 36, 12, "DI upload address"},
    {kNoId, ItemKind::Label, "Enable DI initiative upload:", kEnabled, 7, 58, 118, 8, nullptr},
    {1037, ItemKind::Edit, nullptr, kEnabled, 131, 55, 36, 12, "Enable DI initiative upload"},
    {kNoId, ItemKind::Label, "Baudrate:", kEnabled, 7, 44, 33, 8, nullptr},
    {1039, ItemKind::ComboBox, nullptr, kEnabled, 131, 42, 36, 116, "Baudrate"},
    {kNoId, ItemKind::Label, "AI1 initiative upload:", kEnabled, 7, 86, 100, 8, nullptr},
    {1038, ItemKind::Edit, nullptr, kEnabled, 131, 83, 36, 12, "AI1 initiative upload"},
    {kNoId, ItemKind::Label, "AI2 initiative upload:", kEnabled, 7, 100, 109, 8, nullptr},
    {1040, ItemKind::Edit, nullptr, kEnabled, 131, 98, 36, 12, "AI2 initiative upload"},
    {kNoId, ItemKind::Label, "(0~65535ms)", kEnabled, 168, 86, 36, 8, nullptr},
    {kNoId, ItemKind::Label, "(0~65535ms)", kEnabled, 168, 100, 36, 8, nullptr},
    {kNoId, ItemKind::Label, "(0:Disable, 1:Enable)", kEnabled, 168, 58, 107, 8, nullptr},
    {kNoId, ItemKind::Label, "(0 means disable)", kEnabled, 208, 86, 88, 8, nullptr},
    {kNoId, ItemKind::Label, "(0 means disable)", kEnabled, 208, 100, 82, 8, nullptr},
}};

constexpr DialogTemplate kAdvancedTemplate = {"Advanced", 303, 121, kAdvancedItems};

constexpr Byte kNoBaudSelected = 0xFF;
constexpr const char* kSameAddressText = "设备地址与上报地址不能一致!";

std::uint32_t Period(Byte high, Byte low) {
    return ReadWord(std::array<Byte, 2>{high, low}, 0);
}

void StorePeriod(std::uint32_t period, Byte& high, Byte& low) {
    high = static_cast<Byte>((period >> 8) & 0xFFU);
    low = static_cast<Byte>(period & 0xFFU);
}

}  // namespace

// One showing of the dialog.
class CAdvancedDlg::Window : public CTemplateDialog {
  public:
    Window(CAdvancedDlg& owner, QWidget* parent)
        : CTemplateDialog(kAdvancedTemplate, parent), m_owner(owner) {
        setObjectName(QStringLiteral("AdvancedDialog"));
        m_cbBaudrate = Item<QComboBox>(IDC_ADV_BAUD);
        connect(Item<QPushButton>(1), &QPushButton::clicked, this, &Window::OnOK);
        connect(Item<QPushButton>(2), &QPushButton::clicked, this, &QDialog::reject);
        OnInitDialog();
    }

  protected:
    void DoDataExchange(CDataExchange& dx) override {
        dx.Byte(IDC_ADV_SLAVE, m_owner.m_bySlaveAddr);
        dx.Byte(IDC_ADV_UPLOAD_ADDR, m_owner.m_byUploadAddr);
        dx.Byte(IDC_ADV_UPLOAD_ENABLE, m_owner.m_byUploadEnable);
        dx.Text(IDC_ADV_VERSION, m_owner.m_strVersion);
        dx.Word(IDC_ADV_AI1_PERIOD, m_owner.m_nAI1Period);
        dx.Word(IDC_ADV_AI2_PERIOD, m_owner.m_nAI2Period);
    }

  private:
    void OnInitDialog() {
        UpdateData(false);
        for (const SerialRate& rate : kSerialRates) {
            m_cbBaudrate->addItem(QString::number(rate.baud));
        }
        const auto& bytes = m_owner.m_params.bytes;
        m_owner.m_bySlaveAddr = bytes[0];
        m_owner.m_byUploadEnable = bytes[1];
        m_owner.m_byUploadAddr = bytes[2];
        m_owner.m_nAI1Period = Period(bytes[6], bytes[7]);
        m_owner.m_nAI2Period = Period(bytes[8], bytes[9]);
        m_cbBaudrate->setCurrentIndex(bytes[3] < kSerialRates.size() ? bytes[3] : -1);
        m_owner.m_strVersion = QStringLiteral("V%1").arg(bytes[4], 0, 16);
        UpdateData(false);
        Item<QPushButton>(1)->setFocus();
    }

    void OnOK() {
        if (!UpdateData(true)) {
            return;
        }
        auto& bytes = m_owner.m_params.bytes;
        bytes[0] = m_owner.m_bySlaveAddr;
        bytes[1] = m_owner.m_byUploadEnable;
        bytes[2] = m_owner.m_byUploadAddr;
        const int baud = ComboSelection(m_cbBaudrate);
        bytes[3] = baud < 0 ? kNoBaudSelected : static_cast<Byte>(baud & 0xFF);
        StorePeriod(m_owner.m_nAI1Period, bytes[6], bytes[7]);
        StorePeriod(m_owner.m_nAI2Period, bytes[8], bytes[9]);
        if (m_owner.m_bySlaveAddr == m_owner.m_byUploadAddr) {
            KestrelMessageBox(this, QString::fromUtf8(kSameAddressText), MessageIcon::None);
            return;
        }
        if (UpdateData(true)) {
            accept();
        }
    }

    CAdvancedDlg& m_owner;
    QComboBox* m_cbBaudrate = nullptr;
};

int CAdvancedDlg::DoModal(QWidget* parent) {
    Window window(*this, parent);
    return window.exec() == QDialog::Accepted ? IDOK : IDCANCEL;
}
