#include "data_exchange.h"

#include "field_exchange.h"

bool CDialog::UpdateData(bool saveAndValidate) {
    CDataExchange dx(*m_port, saveAndValidate);
    DoDataExchange(dx);
    return !dx.Failed();
}

void CDataExchange::Refuse(int id, const char* message) {
    m_bFailed = true;
    ShowMessage(m_port, message, MessageIcon::Warning);
    m_port.SetFocus(id);
    m_port.SelectText(id);
}

template <class T, class Parse, class Format>
void CDataExchange::Exchange(int id, T& member, Parse parse, Format format, const char* refusal) {
    if (m_bFailed) {
        return;
    }
    if (!m_bSave) {
        m_port.SetText(id, format(member));
        return;
    }
    const auto value = parse(m_port.Text(id));
    if (!value) {
        Refuse(id, refusal);
        return;
    }
    member = *value;
}

void CDataExchange::Unsigned(int id, std::uint32_t& member) {
    Exchange(id, member, ParseUnsignedField, FormatUnsignedField, kRefuseUnsigned);
}

void CDataExchange::Byte(int id, std::uint8_t& member) {
    Exchange(
        id, member, ParseByteField, [](std::uint8_t value) { return FormatUnsignedField(value); },
        kRefuseByte);
}

void CDataExchange::Word(int id, std::uint32_t& member) {
    Exchange(
        id, member, ParseWordField, [](std::uint32_t value) { return FormatUnsignedField(value); },
        kRefuseWord);
}

void CDataExchange::Float(int id, float& member) {
    Exchange(id, member, ParseFloatField, FormatFloatField, kRefuseFloat);
}

void CDataExchange::Text(int id, std::string& member) {
    if (m_bFailed) {
        return;
    }
    if (m_bSave) {
        member = m_port.Text(id);
    } else {
        m_port.SetText(id, member);
    }
}
