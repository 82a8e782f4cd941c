#pragma once

#include "template_dialog.h"

// The About box: the program's name and version, who makes it and where to find it.
class CAboutDlg : public CTemplateDialog {
    Q_OBJECT
  public:
    explicit CAboutDlg(QWidget* parent = nullptr);
};
