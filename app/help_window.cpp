#include "help_window.h"

#include <QFile>
#include <QTextBrowser>
#include <QVBoxLayout>

namespace {
constexpr const char* kGuide = ":/help/operator_guide.md";
}

HelpWindow::HelpWindow(QWidget* parent) : QDialog(parent), m_text(new QTextBrowser(this)) {
    setWindowTitle(QStringLiteral("Kestrel help"));
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    m_text->setOpenLinks(false);
    m_text->setOpenExternalLinks(false);
    m_text->setAccessibleName(QStringLiteral("Kestrel help"));
    QFile guide(QString::fromLatin1(kGuide));
    if (guide.open(QIODevice::ReadOnly)) {
        m_text->setMarkdown(QString::fromUtf8(guide.readAll()));
    }
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_text);
    resize(640, 720);
}
