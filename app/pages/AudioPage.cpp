// The Audio page: one audio panel per Program; the low-latency section that owns the window's
// LocalAudioEngine sits below them.
#include "app/MainWindow.h"

#include <QLabel>
#include <QVBoxLayout>

QWidget *MainWindow::audioPage()
{
    auto *page = new QWidget(this);
    auto *layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(makeLabel(QStringLiteral("Audio"), QStringLiteral("heading")));
    auto *panels = new QWidget(page);
    audioPanelsLayout = new QVBoxLayout(panels);
    audioPanelsLayout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(panels);
    layout->addStretch(1);
    return page;
}
