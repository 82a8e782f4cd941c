#include "about_dlg.h"

#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <array>

#include "version.h"

namespace {

enum AboutId : int { IDC_ABOUT_ICON = 1100, IDC_ABOUT_NAME = 1101 };

constexpr std::array<ItemTemplate, 5> kAboutItems = {{
    {IDC_ABOUT_ICON, ItemKind::Label, nullptr, kEnabled, 14, 14, 21, 20, "Icon"},
    {IDC_ABOUT_NAME, ItemKind::Label, "Kestrel", kEnabled, 42, 14, 150, 8, nullptr},
    {kNoId, ItemKind::Label, "Made by the Kestrel project", kEnabled, 42, 26, 150, 8, nullptr},
    {kNoId, ItemKind::Label, "https://kestrel.example.org", kEnabled, 42, 38, 150, 8, nullptr},
    {1, ItemKind::DefPushButton, "OK", kEnabled, 163, 52, 50, 14, nullptr},
}};

constexpr DialogTemplate kAboutTemplate = {"关于 Kestrel", 220, 72, kAboutItems};

}  // namespace

CAboutDlg::CAboutDlg(QWidget* parent) : CTemplateDialog(kAboutTemplate, parent) {
    Item<QLabel>(IDC_ABOUT_NAME)
        ->setText(QStringLiteral("Kestrel, version %1").arg(KESTREL_VERSION));
    Item<QLabel>(IDC_ABOUT_ICON)->setPixmap(QIcon(QStringLiteral(":/kestrel.png")).pixmap(32, 32));
    connect(Item<QPushButton>(1), &QPushButton::clicked, this, &QDialog::accept);
}
