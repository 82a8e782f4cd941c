#include "com_list.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QEvent>
#include <QPainter>
#include <QPixmap>
#include <QStyledItemDelegate>

#include "serial_port.h"

namespace {

// Where an item keeps the path of its port's device; empty when there is none.
constexpr int kDevicePathRole = Qt::UserRole + 1;
constexpr int kMarkSize = 10;

QIcon PresentMark() {
    QPixmap mark(kMarkSize, kMarkSize);
    mark.fill(Qt::transparent);
    QPainter painter(&mark);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QColor(0x1B, 0x5E, 0x20));
    painter.setBrush(QColor(0x43, 0xA0, 0x47));
    painter.drawEllipse(QRectF(0.5, 0.5, kMarkSize - 1.0, kMarkSize - 1.0));
    return QIcon(mark);
}

// Draws the list's items with a mark before the ports whose device exists; the rest keep an
// empty place of the same width, so the names stay in one column.
class PresentDeviceDelegate : public QStyledItemDelegate {
  public:
    using QStyledItemDelegate::QStyledItemDelegate;

  protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
        QStyledItemDelegate::initStyleOption(option, index);
        static const QIcon present = PresentMark();
        static const QIcon absent = [] {
            QPixmap blank(kMarkSize, kMarkSize);
            blank.fill(Qt::transparent);
            return QIcon(blank);
        }();
        option->features |= QStyleOptionViewItem::HasDecoration;
        option->icon = index.data(kDevicePathRole).toString().isEmpty() ? absent : present;
        option->decorationSize = QSize(kMarkSize, kMarkSize);
    }
};

void MarkComDevices(QComboBox& combo) {
    for (int item = 0; item < combo.count(); ++item) {
        const int port = item + 1;
        const QString path =
            ComDeviceExists(port) ? QString::fromStdString(ComDevicePath(port)) : QString();
        const QVariant shown = path.isEmpty() ? QVariant() : QVariant(path);
        combo.setItemData(item, shown, kDevicePathRole);
        combo.setItemData(item, shown, Qt::ToolTipRole);
        combo.setItemData(item,
                          path.isEmpty() ? QVariant()
                                         : QVariant(combo.itemText(item) + QStringLiteral(" (") +
                                                    path + QStringLiteral(")")),
                          Qt::AccessibleTextRole);
    }
}

// Takes the marks each time the list appears, just before it is painted.
class ListOpening : public QObject {
  public:
    explicit ListOpening(QComboBox& combo) : QObject(&combo), m_combo(combo) {}

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Show) {
            MarkComDevices(m_combo);
        }
        return QObject::eventFilter(watched, event);
    }

  private:
    QComboBox& m_combo;
};

}  // namespace

void MarkComDevicesWhenListed(QComboBox& combo) {
    combo.view()->setItemDelegate(new PresentDeviceDelegate(combo.view()));
    combo.view()->installEventFilter(new ListOpening(combo));
}
