#pragma once

#include <span>

// A dialog as data, row by row as a dialog template holds it: id, kind, caption, state and
// rectangle in dialog units, in template order (which is also the tab order). Every shell builds
// its windows from the same rows: dialog units become pixels through the dialog font's base
// units, x*bx/4 and y*by/8.

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
