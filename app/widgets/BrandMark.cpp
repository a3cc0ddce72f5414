#include "app/widgets/BrandMark.h"

#include "app/widgets/LineIcons.h"

#include <QPainter>

BrandMark::BrandMark(QWidget *parent)
    : QWidget(parent)
{
}

void BrandMark::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    drawBrandMark(&painter, QRectF(0, 1, 24, 24));
}
