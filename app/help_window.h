#pragma once

#include <QDialog>

class QTextBrowser;

// The operator's guide (the operator's part of the README, compiled in): a read-only window of
// its own beside the panel, opened by F1 and closed by Esc. Links are not followed: nothing
// opens a browser or reaches the network.
class HelpWindow : public QDialog {
    Q_OBJECT
  public:
    explicit HelpWindow(QWidget* parent = nullptr);
    QTextBrowser* Text() const { return m_text; }

  private:
    QTextBrowser* m_text;
};
