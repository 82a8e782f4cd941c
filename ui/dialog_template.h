#pragma once

#include <QDialog>
#include <QSize>
#include <QSizeF>
#include <QString>
#include <cstdint>
#include <map>
#include <span>
#include <vector>

class QLineEdit;

// A dialog laid out from a table that mirrors a dialog template row by row: id, kind, caption,
// state and rectangle in dialog units, in template order (which is also the tab order).
// Dialog units become pixels through the dialog font's base units, x*bx/4 and y*by/8, so the
// dialog keeps the template's proportions at any font size or screen density. Where the font
// that the system falls back to is wider than the template was drawn for, the base units grow
// (both alike) until every caption and every combo box item fits its control.
// A control with a caption is known to assistive technology by what it shows now; a control
// without one by the template's name; every control is described by its template id.

enum class ItemKind {
    DefPushButton,
    PushButton,
    GroupBox,
    Label,
    Edit,
    ReportText,  // sunken, bordered, several lines, left-aligned static text
    CheckBox,
    ListView,
    ComboBox,  // drop-down with editable text; the height includes the list
};

enum ItemState : unsigned { kEnabled = 0, kDisabled = 1U << 0, kReadOnly = 1U << 1 };

inline constexpr int kNoId = -1;

struct ItemTemplate {
    int id;
    ItemKind kind;
    const char* caption;  // UTF-8; nullptr when the control has none
    unsigned state;
    int x, y, width, height;  // dialog units
    const char* name;         // accessible name of a control without a caption (fields)
};

struct DialogTemplate {
    const char* caption;
    int width, height;  // dialog units
    std::span<const ItemTemplate> items;
};

class CDataExchange;

class CTemplateDialog : public QDialog {
    Q_OBJECT
  public:
    CTemplateDialog(const DialogTemplate& dialogTemplate, QWidget* parent);

    // The control with the given template id, or nullptr.
    QWidget* GetDlgItem(int id) const;
    template <class T>
    T* Item(int id) const {
        return qobject_cast<T*>(GetDlgItem(id));
    }

    // Fields into members (true, with validation) or members into fields (false).
    // False when a field was refused.
    bool UpdateData(bool saveAndValidate = true);

    // The 9-point dialog font and the base units in pixels that the dialog is laid out with.
    static QFont DialogFont();
    QSizeF BaseUnits() const { return m_baseUnits; }
    QRect DialogUnitsToPixels(int x, int y, int width, int height) const;

  protected:
    virtual void DoDataExchange(CDataExchange& dx) = 0;
    // Lays the dialog out anew when its texts need larger units than it has.
    void showEvent(QShowEvent* event) override;

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
};

// One run of a field exchange, in either direction. The first refusal shows its message, puts
// the focus on the refused field with its text selected, and ends the run: later bindings are
// skipped, earlier ones keep their new values.
class CDataExchange {
  public:
    CDataExchange(CTemplateDialog& dialog, bool save) : m_dialog(dialog), m_bSave(save) {}

    bool Saving() const { return m_bSave; }
    bool Failed() const { return m_bFailed; }

    void Text(int id, QString& member);
    void Unsigned(int id, std::uint32_t& member);
    void Byte(int id, std::uint8_t& member);
    // A number that fills one 16-bit register: 0 to 65535.
    void Word(int id, std::uint32_t& member);
    void Float(int id, float& member);

  private:
    template <class T, class Parse, class Format>
    void Exchange(int id, T& member, Parse parse, Format format, const char* refusal);
    void Refuse(QLineEdit* field, const char* message);

    CTemplateDialog& m_dialog;
    bool m_bSave;
    bool m_bFailed = false;
};

class QComboBox;

// The selected item of a combo box with an edit field, as the list's current selection: -1 when
// nothing is selected or the operator has typed a text other than the selected item's.
int ComboSelection(const QComboBox* combo);
