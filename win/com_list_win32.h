#pragma once

#include <windows.h>

#include <vector>

// The "Com:" box on Windows: an owner-drawn combo box (its edit part stays an edit, its items
// keep their texts "COM1".."COM255") whose list shows a green dot before each port whose device
// exists. Each time the list drops down, each port is asked about once and the answers are kept
// for that showing; they are also the items' data, 1 for a port that exists and 0 for one that
// does not, so UI automation can read them (CB_GETITEMDATA).
class ComList {
  public:
    // The combo box's styles on top of the dialog template's drop-down box.
    static constexpr DWORD kStyle = CBS_OWNERDRAWFIXED | CBS_HASSTRINGS;

    explicit ComList(int id) : m_id(id) {}

    // Once the box exists: its list's items as high as a line of its font.
    void Attach(HWND combo);
    // Handles the box's drop-down notice, WM_MEASUREITEM and WM_DRAWITEM sent to the dialog:
    // true when the message was the box's.
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam);

  private:
    void MarkPorts();
    void Draw(const DRAWITEMSTRUCT& item) const;
    int ItemHeight() const;

    int m_id;
    HWND m_combo = nullptr;
    std::vector<bool> m_present;  // by item: the port's device exists
};
