#include "dialog_template.h"

#include <QAccessible>
#include <QCheckBox>
#include <QComboBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>

#include "field_exchange.h"
#include "message_box.h"

namespace {

// Height of the edit part of a combo box; the rest of its template height is the drop-down list.
constexpr int kComboEditHeight = 14;
constexpr const char* kShownTextProperty = "kestrelText";

QWidget* CreateWidget(const ItemTemplate& item, QWidget* parent) {
    const QString caption = QString::fromUtf8(item.caption ? item.caption : "");
    switch (item.kind) {
        case ItemKind::DefPushButton:
        case ItemKind::PushButton: {
            auto* button = new QPushButton(caption, parent);
            button->setDefault(item.kind == ItemKind::DefPushButton);
            return button;
        }
        case ItemKind::GroupBox:
            return new QGroupBox(caption, parent);
        case ItemKind::Label:
            return new QLabel(caption, parent);
        case ItemKind::Edit:
            return new QLineEdit(parent);
        case ItemKind::ReportText: {
            auto* label = new QLabel(parent);
            label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
            label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
            label->setWordWrap(true);
            label->setTextFormat(Qt::PlainText);
            return label;
        }
        case ItemKind::CheckBox:
            return new QCheckBox(caption, parent);
        case ItemKind::ListView: {
            auto* list = new QTreeWidget(parent);
            list->setRootIsDecorated(false);
            list->setSelectionMode(QAbstractItemView::ExtendedSelection);
            list->header()->setStretchLastSection(false);
            return list;
        }
        case ItemKind::ComboBox: {
            auto* combo = new QComboBox(parent);
            combo->setEditable(true);
            combo->setInsertPolicy(QComboBox::NoInsert);
            return combo;
        }
    }
    return nullptr;
}

QString AccessibleName(const ItemTemplate& item) {
    const char* name = item.name ? item.name : item.caption;
    return QString::fromUtf8(name ? name : "");
}

}  // namespace

QFont CTemplateDialog::DialogFont() {
    QFont font;
    font.setFamilies({QStringLiteral("SimSun"), QString::fromUtf8("宋体"),
                      QStringLiteral("WenQuanYi Micro Hei"), QStringLiteral("Noto Sans CJK SC"),
                      QStringLiteral("DejaVu Sans")});
    font.setPointSize(9);
    return font;
}

CTemplateDialog::CTemplateDialog(const DialogTemplate& dialogTemplate, QWidget* parent)
    : QDialog(parent) {
    setFont(DialogFont());
    const QFontMetrics metrics(font());
    const int alphabet = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    m_baseUnits = QSize((alphabet / 26 + 1) / 2, metrics.height());
    setWindowTitle(QString::fromUtf8(dialogTemplate.caption));
    setFixedSize(DialogUnitsToPixels(0, 0, dialogTemplate.width, dialogTemplate.height).size());
    BuildItems(dialogTemplate.items);
}

QRect CTemplateDialog::DialogUnitsToPixels(int x, int y, int width, int height) const {
    const auto horizontal = [this](int units) { return (units * m_baseUnits.width() + 2) / 4; };
    const auto vertical = [this](int units) { return (units * m_baseUnits.height() + 4) / 8; };
    return {horizontal(x), vertical(y), horizontal(width), vertical(height)};
}

QWidget* CTemplateDialog::CreateItem(const ItemTemplate& item) {
    QWidget* widget = CreateWidget(item, this);
    const int height =
        item.kind == ItemKind::ComboBox ? std::min(item.height, kComboEditHeight) : item.height;
    widget->setGeometry(DialogUnitsToPixels(item.x, item.y, item.width, height));
    widget->setEnabled((item.state & kDisabled) == 0);
    if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
        edit->setReadOnly((item.state & kReadOnly) != 0);
    }
    widget->setAccessibleName(AccessibleName(item));
    if (item.id != kNoId) {
        widget->setAccessibleDescription(QString::number(item.id));
        widget->setObjectName(QStringLiteral("item%1").arg(item.id));
        m_items[item.id] = widget;
    }
    return widget;
}

void CTemplateDialog::BuildItems(std::span<const ItemTemplate> items) {
    QWidget* previousFocusable = nullptr;
    std::vector<QWidget*> groups;
    for (const ItemTemplate& item : items) {
        QWidget* widget = CreateItem(item);
        if (item.kind == ItemKind::GroupBox) {
            groups.push_back(widget);
        }
        if (widget->focusPolicy() != Qt::NoFocus) {
            if (previousFocusable) {
                setTabOrder(previousFocusable, widget);
            }
            previousFocusable = widget;
        }
    }
    // Group boxes only frame their controls: keep them beneath, so they never take a click.
    for (QWidget* group : groups) {
        group->lower();
    }
}

QWidget* CTemplateDialog::GetDlgItem(int id) const {
    const auto found = m_items.find(id);
    return found == m_items.end() ? nullptr : found->second;
}

bool CTemplateDialog::UpdateData(bool saveAndValidate) {
    CDataExchange dx(*this, saveAndValidate);
    DoDataExchange(dx);
    return !dx.Failed();
}

// ---- field exchange ----------------------------------------------------------------------------

namespace {
// A field already showing the text is left alone: refreshing after every reply then costs no
// relayout or repaint of unchanged fields.
void SetFieldText(QLineEdit* field, const QString& text) {
    if (field->text() != text) {
        field->setText(text);
    }
}
}  // namespace

void CDataExchange::Refuse(QLineEdit* field, const char* message) {
    m_bFailed = true;
    KestrelMessageBox(&m_dialog, QString::fromUtf8(message), MessageIcon::Warning);
    field->setFocus();
    field->selectAll();
}

template <class T, class Parse, class Format>
void CDataExchange::Exchange(int id, T& member, Parse parse, Format format, const char* refusal) {
    auto* field = m_dialog.Item<QLineEdit>(id);
    if (m_bFailed || !field) {
        return;
    }
    if (!m_bSave) {
        SetFieldText(field, QString::fromStdString(format(member)));
        return;
    }
    const auto value = parse(field->text().toStdString());
    if (!value) {
        Refuse(field, refusal);
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

void CDataExchange::Text(int id, QString& member) {
    QWidget* widget = m_dialog.GetDlgItem(id);
    if (m_bFailed || !widget) {
        return;
    }
    if (auto* field = qobject_cast<QLineEdit*>(widget)) {
        if (m_bSave) {
            member = field->text();
        } else {
            SetFieldText(field, member);
        }
        return;
    }
    // A static text keeps the exact text (line ends included) beside what it shows.
    if (auto* label = qobject_cast<QLabel*>(widget)) {
        if (m_bSave) {
            member = label->property(kShownTextProperty).toString();
        } else {
            if (label->property(kShownTextProperty).toString() != member) {
                label->setProperty(kShownTextProperty, member);
                label->setText(
                    QString(member).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
            }
        }
    }
}

int ComboSelection(const QComboBox* combo) {
    const int index = combo->currentIndex();
    if (index < 0 || (combo->isEditable() && combo->currentText() != combo->itemText(index))) {
        return -1;
    }
    return index;
}
