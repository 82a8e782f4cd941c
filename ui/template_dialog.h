#pragma once

#include <QDialog>
#include <QPointer>
#include <QSize>
#include <QSizeF>
#include <QString>
#include <cstdint>
#include <map>
#include <span>
#include <vector>

#include "dialog_port.h"

class QLineEdit;

// The Qt shell of a dialog: the window laid out from a template, as the panel's DialogPort.
// A dialog laid out from a table that mirrors a dialog template row by row: id, kind, caption,
// state and rectangle in dialog units, in template order (which is also the tab order).
// Dialog units become pixels through the dialog font's base units, x*bx/4 and y*by/8, so the
// dialog keeps the template's proportions at any font size or screen density. Where the font
// that the system falls back to is wider than the template was drawn for, the base units grow
// (both alike) until every caption and every combo box item fits its control.
// A control with a caption is known to assistive technology by what it shows now; a control
// without one by the template's name; every control is described by its template id.

class QComboBox;
class QTreeWidget;

class CTemplateDialog : public QDialog, public DialogPort {
    Q_OBJECT
  public:
    CTemplateDialog(const DialogTemplate& dialogTemplate, QWidget* parent);

    // The behaviour the dialog's commands go to; the panel is told OnInitDialog at once.
    void SetPanel(DialogPanel* panel);
    DialogPanel* Panel() const { return m_panel; }

    // The control with the given template id, or nullptr.
    QWidget* GetDlgItem(int id) const;
    template <class T>
    T* Item(int id) const {
        return qobject_cast<T*>(GetDlgItem(id));
    }

    // The 9-point dialog font and the base units in pixels that the dialog is laid out with.
    static QFont DialogFont();
    QSizeF BaseUnits() const { return m_baseUnits; }
    QRect DialogUnitsToPixels(int x, int y, int width, int height) const;

    // ---- DialogPort ----
    std::string Text(int id) const override;
    void SetText(int id, const std::string& text) override;
    bool IsEnabled(int id) const override;
    void Enable(int id, bool enabled) override;
    bool IsChecked(int id) const override;
    void SetChecked(int id, bool checked) override;
    bool IsShown(int id) const override;
    void Show(int id, bool shown) override;
    int Focus() const override;
    void SetFocus(int id) override;
    void SelectText(int id) override;
    void AddComboItem(int id, const std::string& text) override;
    int ComboCount(int id) const override;
    std::string ComboItem(int id, int index) const override;
    void SetComboSelection(int id, int index) override;
    int ComboSelection(int id) const override;
    void SetListColumns(int id, std::span<const ListColumn> columns) override;
    void SetListRows(int id, const std::vector<ListRow>& rows) override;
    int ListRowCount(int id) const override;
    std::string ListCell(int id, int row, int column) const override;
    int SelectedListRow(int id) const override;
    std::string ProgramName() const override;
    void ShowMessageBox(const std::string& text, const std::string& caption,
                        MessageIcon icon) override;
    void EndDialog(int result) override;
    int RunModal(const DialogTemplate& dialogTemplate, DialogPanel& child) override;
    void ShowAbout() override {}
    void ShowTraffic(std::function<std::uint8_t()>) override {}
    void ShowHelp() override {}

  public slots:
    // Escape and the close box go to the panel, which ends the dialog (or not).
    void reject() override;

  protected:
    // Lays the dialog out anew when its texts need larger units than it has.
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    QWidget* CreateItem(const ItemTemplate& item);
    void BuildItems(std::span<const ItemTemplate> items);
    bool TextsFit(QSizeF units) const;
    void FitTexts();
    void LayOut();

    QSizeF m_baseUnits;
    QSizeF m_fontUnits;
    QSize m_size;  // dialog units
    std::span<const ItemTemplate> m_template;
    std::vector<QWidget*> m_widgets;  // in template order
    std::map<int, QWidget*> m_items;
    DialogPanel* m_panel = nullptr;
};

// The selected item of a combo box with an edit field, as the list's current selection: -1 when
// nothing is selected or the operator has typed a text other than the selected item's.
int ComboSelection(const QComboBox* combo);
