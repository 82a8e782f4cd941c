#include "dialog_template.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QHeaderView>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPaintEvent>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStyleOptionButton>
#include <QStyleOptionComboBox>
#include <QStyleOptionGroupBox>
#include <QTextCursor>
#include <QTreeWidget>
#include <algorithm>

#include "field_exchange.h"
#include "message_box.h"

namespace {

// Height of the edit part of a combo box; the rest of its template height is the drop-down list.
constexpr int kComboEditHeight = 14;
constexpr const char* kShownTextProperty = "kestrelText";
// A line edit keeps this many pixels clear beside its text, and its cursor needs one more.
constexpr int kLineEditMarginX = 2;
constexpr int kLineEditMarginY = 1;
constexpr int kTextCursorWidth = 1;
// To make room for texts the base units grow, both alike, in steps of a quarter pixel across, at
// most to this multiple of the font's own.
constexpr qreal kFitStep = 0.25;
constexpr qreal kMostFitGrowth = 2;

bool IsEnterKey(const QKeyEvent& event) {
    return event.key() == Qt::Key_Return || event.key() == Qt::Key_Enter;
}

// The edit part of a combo box. Enter first does what it does in the box (a completed item is
// taken), then goes on to the dialog as from any other field, whether it reached the box or its
// edit part; the box itself would only hand it back here.
class ComboEdit : public QLineEdit {
  public:
    using QLineEdit::QLineEdit;

  protected:
    void keyPressEvent(QKeyEvent* event) override {
        QLineEdit::keyPressEvent(event);
        if (!IsEnterKey(*event)) {
            return;
        }
        if (QWidget* outside = parentWidget() ? parentWidget()->parentWidget() : nullptr) {
            QApplication::sendEvent(outside, event);
        }
        event->accept();
    }
};

// A group box only frames its controls, yet every change of a control inside it (an indicator
// ticking on each reply) repaints the box beneath, and the style draws a box anew at several
// times the cost of the control itself. The box draws itself once into a picture and repaints
// from it until something it shows changes: its size, title, state, palette, font or style.
class FramedGroup : public QGroupBox {
  public:
    using QGroupBox::QGroupBox;

  protected:
    void paintEvent(QPaintEvent* event) override {
        QStyleOptionGroupBox option;
        initStyleOption(&option);
        const Look look{option.rect.size(), option.text,        option.state, palette().cacheKey(),
                        font().key(),       devicePixelRatio(), style()};
        if (m_picture.isNull() || !(look == m_look)) {
            m_look = look;
            m_picture = Draw(option);
        }
        QPainter painter(this);
        const QRect area = event->rect();
        const qreal ratio = m_picture.devicePixelRatio();
        painter.drawImage(area, m_picture,
                          QRectF(area.topLeft() * ratio, area.size() * ratio).toRect());
    }

  private:
    struct Look {
        QSize size;
        QString title;
        QStyle::State state;
        qint64 palette = 0;
        QString font;
        qreal ratio = 0;
        const QStyle* style = nullptr;
        bool operator==(const Look&) const = default;
    };

    // An image in the format painting blends from, so that nothing is ever converted.
    QImage Draw(const QStyleOptionGroupBox& option) const {
        QImage picture(option.rect.size() * devicePixelRatio(),
                       QImage::Format_ARGB32_Premultiplied);
        picture.setDevicePixelRatio(devicePixelRatio());
        picture.fill(Qt::transparent);
        QPainter painter(&picture);
        painter.setFont(font());
        painter.setPen(palette().color(foregroundRole()));
        style()->drawComplexControl(QStyle::CC_GroupBox, &option, &painter, this);
        return picture;
    }

    Look m_look;
    QImage m_picture;
};

// Read-only lines of text that scroll and can be selected and copied, by mouse and keyboard.
QPlainTextEdit* CreateReport(QWidget* parent) {
    auto* report = new QPlainTextEdit(parent);
    report->setReadOnly(true);
    report->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    report->setUndoRedoEnabled(false);
    report->setTabChangesFocus(true);
    report->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    report->viewport()->setBackgroundRole(QPalette::Window);
    return report;
}

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
            return new FramedGroup(caption, parent);
        case ItemKind::Label:
            return new QLabel(caption, parent);
        case ItemKind::Edit:
            return new QLineEdit(parent);
        case ItemKind::ReportText:
            return CreateReport(parent);
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
            combo->setLineEdit(new ComboEdit(combo));
            combo->setInsertPolicy(QComboBox::NoInsert);
            return combo;
        }
    }
    return nullptr;
}

QRect ToPixels(QSizeF units, int x, int y, int width, int height) {
    const auto horizontal = [&units](int du) { return qRound(du * units.width() / 4); };
    const auto vertical = [&units](int du) { return qRound(du * units.height() / 8); };
    return {horizontal(x), vertical(y), horizontal(width), vertical(height)};
}

QRect ItemRect(const ItemTemplate& item, QSizeF units) {
    const int height =
        item.kind == ItemKind::ComboBox ? std::min(item.height, kComboEditHeight) : item.height;
    return ToPixels(units, item.x, item.y, item.width, height);
}

// ---- room for texts ----

// Whether every line fits the room: each as wide as its advance, all as high as the font.
bool LinesFit(const QWidget& widget, const QStringList& lines, QSize room) {
    const QFontMetrics metrics = widget.fontMetrics();
    return metrics.height() <= room.height() &&
           std::all_of(lines.begin(), lines.end(), [&](const QString& line) {
               return metrics.horizontalAdvance(line) <= room.width();
           });
}

// A push button's caption goes inside its frame and default-button ring.
bool CaptionFits(const QPushButton& button, QSize size) {
    QStyleOptionButton option;
    option.initFrom(&button);
    option.rect = QRect(QPoint(), size);
    option.text = button.text();
    if (button.autoDefault()) {
        option.features |= QStyleOptionButton::AutoDefaultButton;
    }
    const QRect room =
        button.style()->subElementRect(QStyle::SE_PushButtonContents, &option, &button);
    return LinesFit(button, {button.text()}, room.size());
}

// A combo box's items go into its line edit, beside its margins and the cursor.
bool ItemsFit(const QComboBox& combo, QSize size) {
    QStyleOptionComboBox option;
    option.initFrom(&combo);
    option.rect = QRect(QPoint(), size);
    option.editable = true;
    const QRect edit = combo.style()->subControlRect(QStyle::CC_ComboBox, &option,
                                                     QStyle::SC_ComboBoxEditField, &combo);
    QStringList items;
    for (int n = 0; n < combo.count(); ++n) {
        items << combo.itemText(n);
    }
    const QSize margins(2 * kLineEditMarginX + kTextCursorWidth, 2 * kLineEditMarginY);
    return LinesFit(combo, items, edit.size() - margins);
}

// Whether the control, at the given size, shows the whole of each of its texts: its caption, or
// each of its items. Labels, check boxes and group boxes tell what they need themselves.
bool TextsFitControl(const QWidget& widget, QSize size) {
    if (const auto* button = qobject_cast<const QPushButton*>(&widget)) {
        return CaptionFits(*button, size);
    }
    if (const auto* combo = qobject_cast<const QComboBox*>(&widget)) {
        return ItemsFit(*combo, size);
    }
    if (qobject_cast<const QLabel*>(&widget) || qobject_cast<const QCheckBox*>(&widget)) {
        return widget.sizeHint().width() <= size.width() &&
               widget.fontMetrics().height() <= size.height();
    }
    if (qobject_cast<const QGroupBox*>(&widget)) {
        return widget.minimumSizeHint().width() <= size.width();
    }
    return true;
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
    : QDialog(parent),
      m_size(dialogTemplate.width, dialogTemplate.height),
      m_template(dialogTemplate.items) {
    setFont(DialogFont());
    const QFontMetrics metrics(font());
    const int alphabet = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    m_fontUnits = QSize((alphabet / 26 + 1) / 2, metrics.height());
    m_baseUnits = m_fontUnits;
    setWindowTitle(QString::fromUtf8(dialogTemplate.caption));
    BuildItems(dialogTemplate.items);
    LayOut();
}

QRect CTemplateDialog::DialogUnitsToPixels(int x, int y, int width, int height) const {
    return ToPixels(m_baseUnits, x, y, width, height);
}

QWidget* CTemplateDialog::CreateItem(const ItemTemplate& item) {
    QWidget* widget = CreateWidget(item, this);
    widget->setEnabled((item.state & kDisabled) == 0);
    if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
        edit->setReadOnly((item.state & kReadOnly) != 0);
    }
    // A caption names its control by itself, and goes on doing so when it changes.
    if (item.name) {
        widget->setAccessibleName(QString::fromUtf8(item.name));
    }
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
        m_widgets.push_back(widget);
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

void CTemplateDialog::LayOut() {
    setFixedSize(DialogUnitsToPixels(0, 0, m_size.width(), m_size.height()).size());
    for (std::size_t n = 0; n < m_widgets.size(); ++n) {
        m_widgets[n]->setGeometry(ItemRect(m_template[n], m_baseUnits));
    }
}

bool CTemplateDialog::TextsFit(QSizeF units) const {
    for (std::size_t n = 0; n < m_widgets.size(); ++n) {
        if (!TextsFitControl(*m_widgets[n], ItemRect(m_template[n], units).size())) {
            return false;
        }
    }
    return true;
}

void CTemplateDialog::FitTexts() {
    QSizeF units = m_fontUnits;
    const qreal widest = m_fontUnits.width() * kMostFitGrowth;
    while (units.width() < widest && !TextsFit(units)) {
        units *= (units.width() + kFitStep) / units.width();
    }
    if (units != m_baseUnits) {
        m_baseUnits = units;
        LayOut();
    }
}

void CTemplateDialog::showEvent(QShowEvent* event) {
    FitTexts();
    QDialog::showEvent(event);
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

QString ShownLines(QString text) {
    return text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
}

// A report keeps the exact text (line ends included) beside what it shows. Lines put in front of
// what it shows are inserted, so the operator's selection stays on the text it was on.
void ShowReport(QPlainTextEdit* report, const QString& text) {
    const QString shown = report->property(kShownTextProperty).toString();
    if (shown == text) {
        return;
    }
    report->setProperty(kShownTextProperty, text);
    const qsizetype headSize = text.size() - shown.size();
    if (shown.isEmpty() || !text.endsWith(shown) || text.at(headSize - 1) != QLatin1Char('\n')) {
        report->setPlainText(ShownLines(text));
        return;
    }
    QTextCursor start(report->document());
    start.insertText(ShownLines(text.left(headSize)));
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
    if (auto* report = qobject_cast<QPlainTextEdit*>(widget)) {
        if (m_bSave) {
            member = report->property(kShownTextProperty).toString();
        } else {
            ShowReport(report, member);
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
