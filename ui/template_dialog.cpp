#include "template_dialog.h"

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
#include <QMouseEvent>
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

void CTemplateDialog::SetPanel(DialogPanel* panel) {
    m_panel = panel;
    if (m_panel) {
        m_panel->OnInitDialog(*this);
    }
}

void CTemplateDialog::reject() {
    if (m_panel) {
        m_panel->OnCancel();
    } else {
        QDialog::reject();
    }
}

// A click in a list is a left-button release; the list has updated its selection by the time the
// queued call runs, as after a click notification.
bool CTemplateDialog::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        const QVariant id = watched->property("kestrelListId");
        if (id.isValid()) {
            QMetaObject::invokeMethod(
                this,
                [this, n = id.toInt()] {
                    if (m_panel) {
                        m_panel->OnListClick(n);
                    }
                },
                Qt::QueuedConnection);
        }
    }
    return QDialog::eventFilter(watched, event);
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
        if (auto* button = qobject_cast<QPushButton*>(widget)) {
            connect(button, &QPushButton::clicked, this, [this, id = item.id] {
                if (m_panel) {
                    m_panel->OnCommand(id);
                }
            });
        }
        if (auto* list = qobject_cast<QTreeWidget*>(widget)) {
            list->viewport()->setProperty("kestrelListId", item.id);
            list->viewport()->installEventFilter(this);
        }
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

// ---- the port --------------------------------------------------------------------------------

namespace {
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

QString FromUtf8(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}
}  // namespace

std::string CTemplateDialog::Text(int id) const {
    QWidget* widget = GetDlgItem(id);
    QString text;
    if (auto* field = qobject_cast<QLineEdit*>(widget)) {
        text = field->text();
    } else if (auto* report = qobject_cast<QPlainTextEdit*>(widget)) {
        text = report->property(kShownTextProperty).toString();
    } else if (auto* combo = qobject_cast<QComboBox*>(widget)) {
        text = combo->currentText();
    } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
        text = button->text();
    } else if (auto* label = qobject_cast<QLabel*>(widget)) {
        text = label->text();
    } else if (auto* group = qobject_cast<QGroupBox*>(widget)) {
        text = group->title();
    }
    return text.toStdString();
}

// A field already showing the text is left alone: refreshing after every reply then costs no
// relayout or repaint of unchanged fields.
void CTemplateDialog::SetText(int id, const std::string& utf8) {
    QWidget* widget = GetDlgItem(id);
    const QString text = FromUtf8(utf8);
    if (auto* field = qobject_cast<QLineEdit*>(widget)) {
        if (field->text() != text) {
            field->setText(text);
        }
    } else if (auto* report = qobject_cast<QPlainTextEdit*>(widget)) {
        ShowReport(report, text);
    } else if (auto* combo = qobject_cast<QComboBox*>(widget)) {
        combo->setEditText(text);
    } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
        button->setText(text);
    } else if (auto* label = qobject_cast<QLabel*>(widget)) {
        label->setText(text);
    } else if (auto* group = qobject_cast<QGroupBox*>(widget)) {
        group->setTitle(text);
    }
}

bool CTemplateDialog::IsEnabled(int id) const {
    const QWidget* widget = GetDlgItem(id);
    return widget && widget->isEnabled();
}

void CTemplateDialog::Enable(int id, bool enabled) {
    if (QWidget* widget = GetDlgItem(id)) {
        widget->setEnabled(enabled);
    }
}

bool CTemplateDialog::IsChecked(int id) const {
    const auto* box = Item<QAbstractButton>(id);
    return box && box->isChecked();
}

void CTemplateDialog::SetChecked(int id, bool checked) {
    if (auto* box = Item<QAbstractButton>(id)) {
        box->setChecked(checked);
    }
}

bool CTemplateDialog::IsShown(int id) const {
    const QWidget* widget = GetDlgItem(id);
    return widget && !widget->isHidden();
}

void CTemplateDialog::Show(int id, bool shown) {
    if (QWidget* widget = GetDlgItem(id)) {
        widget->setVisible(shown);
    }
}

int CTemplateDialog::Focus() const {
    const QWidget* focus = QApplication::focusWidget();
    for (const auto& [id, widget] : m_items) {
        if (widget == focus || (focus && widget->isAncestorOf(focus))) {
            return id;
        }
    }
    return kNoId;
}

void CTemplateDialog::SetFocus(int id) {
    if (QWidget* widget = GetDlgItem(id)) {
        widget->setFocus();
    }
}

void CTemplateDialog::SelectText(int id) {
    if (auto* field = Item<QLineEdit>(id)) {
        field->selectAll();
    }
}

void CTemplateDialog::AddComboItem(int id, const std::string& text) {
    if (auto* combo = Item<QComboBox>(id)) {
        combo->addItem(FromUtf8(text));
    }
}

int CTemplateDialog::ComboCount(int id) const {
    const auto* combo = Item<QComboBox>(id);
    return combo ? combo->count() : 0;
}

std::string CTemplateDialog::ComboItem(int id, int index) const {
    const auto* combo = Item<QComboBox>(id);
    return combo ? combo->itemText(index).toStdString() : std::string();
}

void CTemplateDialog::SetComboSelection(int id, int index) {
    if (auto* combo = Item<QComboBox>(id)) {
        combo->setCurrentIndex(index);
    }
}

int CTemplateDialog::ComboSelection(int id) const {
    const auto* combo = Item<QComboBox>(id);
    return combo ? ::ComboSelection(combo) : -1;
}

void CTemplateDialog::SetListColumns(int id, std::span<const ListColumn> columns) {
    auto* list = Item<QTreeWidget>(id);
    if (!list) {
        return;
    }
    list->setSelectionBehavior(QAbstractItemView::SelectRows);
    list->setColumnCount(static_cast<int>(columns.size()));
    QStringList headings;
    for (const ListColumn& column : columns) {
        headings << QString::fromUtf8(column.heading);
    }
    list->setHeaderLabels(headings);
    for (std::size_t n = 0; n < columns.size(); ++n) {
        list->setColumnWidth(static_cast<int>(n), columns[n].width);
        list->headerItem()->setTextAlignment(static_cast<int>(n), Qt::AlignLeft);
    }
}

void CTemplateDialog::SetListRows(int id, const std::vector<ListRow>& rows) {
    auto* list = Item<QTreeWidget>(id);
    if (!list) {
        return;
    }
    list->clear();
    for (const ListRow& texts : rows) {
        auto* row = new QTreeWidgetItem(list);
        for (std::size_t n = 0; n < texts.size(); ++n) {
            row->setText(static_cast<int>(n), FromUtf8(texts[n]));
        }
    }
}

int CTemplateDialog::ListRowCount(int id) const {
    const auto* list = Item<QTreeWidget>(id);
    return list ? list->topLevelItemCount() : 0;
}

std::string CTemplateDialog::ListCell(int id, int row, int column) const {
    const auto* list = Item<QTreeWidget>(id);
    const QTreeWidgetItem* item = list ? list->topLevelItem(row) : nullptr;
    return item ? item->text(column).toStdString() : std::string();
}

int CTemplateDialog::SelectedListRow(int id) const {
    const auto* list = Item<QTreeWidget>(id);
    for (int row = 0; list && row < list->topLevelItemCount(); ++row) {
        if (list->topLevelItem(row)->isSelected()) {
            return row;
        }
    }
    return -1;
}

std::string CTemplateDialog::ProgramName() const {
    return ApplicationName().toStdString();
}

void CTemplateDialog::ShowMessageBox(const std::string& text, const std::string& caption,
                                     MessageIcon icon) {
    KestrelMessageBox(this, FromUtf8(text), FromUtf8(caption), icon);
}

// Qt's dialogs end with Rejected (0) where a template dialog ends with IDCANCEL.
constexpr int kIdCancel = 2;

void CTemplateDialog::EndDialog(int result) {
    done(result == kIdCancel ? QDialog::Rejected : result);
}

int CTemplateDialog::RunModal(const DialogTemplate& dialogTemplate, DialogPanel& child) {
    CTemplateDialog window(dialogTemplate, this);
    window.setObjectName(QString::fromUtf8(dialogTemplate.caption) + QStringLiteral("Dialog"));
    window.SetPanel(&child);
    const int result = window.exec();
    return result == QDialog::Rejected ? kIdCancel : result;
}

int ComboSelection(const QComboBox* combo) {
    const int index = combo->currentIndex();
    if (index < 0 || (combo->isEditable() && combo->currentText() != combo->itemText(index))) {
        return -1;
    }
    return index;
}
