#include "app/widgets/DeskMonitor.h"

#include <QPalette>
#include <QResizeEvent>

#include <algorithm>

DeskMonitor::DeskMonitor(QWidget *content)
    : QWidget(nullptr)
    , contentWidget(content)
{
    if (content)
        content->setParent(this);
    setMinimumSize(120, 80);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::All, QPalette::Window, Qt::black);
    setPalette(pal);
}

void DeskMonitor::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    if (!contentWidget)
        return;
    const int W = width();
    const int H = height();
    const int w = std::min(W, H * 16 / 9);
    const int h = w * 9 / 16;
    contentWidget->setGeometry((W - w) / 2, (H - h) / 2, w, h);
}
