#include "advanced_dlg.h"

#include <array>

#include "param_fields.h"
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

static_assert(kSerialRates.size() == kBaudIndexCount);

}  // namespace

const DialogTemplate kAdvancedTemplate = {"Advanced", 303, 121, kAdvancedItems};

// One showing of the dialog.
class CAdvancedDlg::Window : public CDialog {
  public:
    explicit Window(CAdvancedDlg& owner) : m_owner(owner) {}

    void OnInitDialog(DialogPort& port) override {
        Attach(port);
        UpdateData(false);
        for (const SerialRate& rate : kSerialRates) {
            port.AddComboItem(IDC_ADV_BAUD, std::to_string(rate.baud));
        }
        const ParamFields fields = FieldsOfBlock(m_owner.m_params);
        m_owner.m_bySlaveAddr = fields.slaveAddr;
        m_owner.m_byUploadEnable = fields.uploadEnable;
        m_owner.m_byUploadAddr = fields.uploadAddr;
        m_owner.m_nAI1Period = fields.ai1Period;
        m_owner.m_nAI2Period = fields.ai2Period;
        port.SetComboSelection(IDC_ADV_BAUD, fields.baudIndex);
        m_owner.m_strVersion = VersionText(m_owner.m_params.bytes[4]);
        UpdateData(false);
        port.SetFocus(IDOK);
    }

    void OnCommand(int id) override {
        if (id == IDOK) {
            OnOK();
        } else if (id == IDCANCEL) {
            OnCancel();
        }
    }

    void OnCancel() override { Port().EndDialog(IDCANCEL); }

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
    void OnOK() {
        if (!UpdateData(true)) {
            return;
        }
        const ParamFields fields = {m_owner.m_bySlaveAddr,  m_owner.m_byUploadEnable,
                                    m_owner.m_byUploadAddr, Port().ComboSelection(IDC_ADV_BAUD),
                                    m_owner.m_nAI1Period,   m_owner.m_nAI2Period};
        StoreFields(fields, m_owner.m_params);
        if (AddressesClash(fields)) {
            ShowMessage(Port(), kSameAddressText, MessageIcon::None);
            return;
        }
        if (UpdateData(true)) {
            Port().EndDialog(IDOK);
        }
    }

    CAdvancedDlg& m_owner;
};

int CAdvancedDlg::DoModal(DialogPort& parent) {
    Window window(*this);
    return parent.RunModal(kAdvancedTemplate, window) == IDOK ? IDOK : IDCANCEL;
}
