#include "app/widgets/LineIcons.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QPolygonF>

#include <initializer_list>

namespace {

QPolygonF polygon(std::initializer_list<QPointF> points)
{
    return QPolygonF(QList<QPointF>(points));
}

// Shapes that the table gives filled are drawn with the brush and without a pen.
void fill(QPainter &p, const QColor &color, const QPolygonF &shape)
{
    p.save();
    p.setPen(Qt::NoPen);
    p.setBrush(color);
    p.drawPolygon(shape);
    p.restore();
}

void fillRect(QPainter &p, const QColor &color, const QRectF &rect)
{
    p.save();
    p.setPen(Qt::NoPen);
    p.setBrush(color);
    p.drawRect(rect);
    p.restore();
}

QPolygonF speaker()
{
    return polygon({{3, 9}, {7, 9}, {12, 5}, {12, 19}, {7, 15}, {3, 15}});
}

void drawKind(QPainter &p, int kind, const QColor &c)
{
    switch (kind) {
    case 0:
    case 4:
        fill(p, c, polygon({{7, 4}, {20, 12}, {7, 20}}));
        break;
    case 1:
        fillRect(p, c, QRectF(6, 5, 4, 14));
        fillRect(p, c, QRectF(14, 5, 4, 14));
        break;
    case 2:
        fillRect(p, c, QRectF(6, 6, 12, 12));
        break;
    case 3:
        p.drawLine(QPointF(5, 5), QPointF(5, 19));
        fill(p, c, polygon({{18, 5}, {7, 12}, {18, 19}}));
        break;
    case 5:
        p.drawPolygon(polygon({{4, 16}, {16, 4}, {20, 8}, {8, 20}, {3, 21}}));
        p.drawLine(QPointF(14, 6), QPointF(18, 10));
        break;
    case 6:
        p.drawPolyline(polygon({{3, 8}, {3, 5}, {10, 5}, {13, 8}, {21, 8}}));
        p.drawRoundedRect(QRectF(3, 8, 18, 12), 1, 1);
        break;
    case 7:
        p.drawRoundedRect(QRectF(3, 4, 18, 13), 1, 1);
        p.drawLine(QPointF(12, 17), QPointF(12, 21));
        p.drawLine(QPointF(8, 21), QPointF(16, 21));
        break;
    case 8: {
        const int tops[] = {5, 10, 5, 10};
        for (int i = 0; i < 4; ++i)
            p.drawLine(QPointF(5 + 5 * i, 19), QPointF(5 + 5 * i, tops[i]));
        break;
    }
    case 9:
        p.drawEllipse(QPointF(12, 12), 7, 7);
        p.drawEllipse(QPointF(12, 12), 2, 2);
        for (int i = 0; i < 8; ++i) {
            p.save();
            p.translate(12, 12);
            p.rotate(45.0 * i);
            p.drawLine(QPointF(7, 0), QPointF(10, 0));
            p.restore();
        }
        break;
    case 10:
        p.drawEllipse(QPointF(6, 18), 3, 3);
        p.drawEllipse(QPointF(18, 18), 3, 3);
        p.drawLine(QPointF(4, 3), QPointF(17, 16));
        p.drawLine(QPointF(20, 3), QPointF(7, 16));
        break;
    case 11:
        fill(p, c, polygon({{4, 5}, {12, 12}, {4, 19}}));
        fill(p, c, polygon({{20, 5}, {12, 12}, {20, 19}}));
        break;
    case 12:
        p.drawLine(QPointF(12, 5), QPointF(12, 19));
        p.drawLine(QPointF(5, 12), QPointF(19, 12));
        break;
    case 13:
        p.drawRoundedRect(QRectF(4, 3, 16, 18), 1, 1);
        p.drawRect(QRectF(8, 3, 8, 6));
        p.drawRect(QRectF(8, 14, 8, 7));
        break;
    case 14:
        p.drawLine(QPointF(12, 19), QPointF(12, 5));
        p.drawPolyline(polygon({{6, 11}, {12, 5}, {18, 11}}));
        break;
    case 15:
        p.drawLine(QPointF(12, 5), QPointF(12, 19));
        p.drawPolyline(polygon({{6, 13}, {12, 19}, {18, 13}}));
        break;
    case 16:
        p.drawPolyline(polygon({{11, 5}, {4, 5}, {4, 20}, {19, 20}, {19, 13}}));
        p.drawLine(QPointF(11, 13), QPointF(20, 4));
        p.drawPolyline(polygon({{14, 4}, {20, 4}, {20, 10}}));
        break;
    case 17:
        p.drawRoundedRect(QRectF(3, 4, 18, 16), 1, 1);
        p.drawLine(QPointF(20, 5), QPointF(12, 13));
        p.drawPolyline(polygon({{12, 8}, {12, 13}, {17, 13}}));
        break;
    case 18:
        for (int i = 0; i < 4; ++i) {
            p.save();
            p.translate(12, 12);
            p.rotate(90.0 * i);
            p.drawPolyline(polygon({{-8, -3}, {-8, -8}, {-3, -8}}));
            p.restore();
        }
        break;
    case 19:
        fill(p, c, speaker());
        p.drawArc(QRectF(10, 8, 6, 8), -60 * 16, 120 * 16);
        p.drawArc(QRectF(10, 5, 10, 14), -60 * 16, 120 * 16);
        break;
    case 20:
        fill(p, c, speaker());
        p.drawLine(QPointF(15, 9), QPointF(21, 15));
        p.drawLine(QPointF(21, 9), QPointF(15, 15));
        break;
    default:
        break;
    }
}

} // namespace

QIcon lineIcon(int kind, const QColor &color)
{
    QPixmap pixmap(48, 48);
    pixmap.fill(Qt::transparent);
    {
        QPainter p(&pixmap);
        p.setRenderHint(QPainter::Antialiasing);
        p.scale(2, 2);
        p.setPen(QPen(color, 1.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.setBrush(Qt::NoBrush);
        drawKind(p, kind, color);
    }
    return QIcon(pixmap);
}

QIcon makeApplicationIcon()
{
    QIcon icon;
    for (int s : {16, 24, 32, 48, 64, 128, 256}) {
        QPixmap pixmap(s, s);
        pixmap.fill(Qt::transparent);
        {
            QPainter p(&pixmap);
            p.setRenderHint(QPainter::Antialiasing);
            p.setPen(Qt::NoPen);
            p.setBrush(QColor(QStringLiteral("#14110c")));
            p.drawRoundedRect(QRectF(0, 0, s, s), 0.18 * s, 0.18 * s);
            drawBrandMark(&p, QRectF(0.12 * s, 0.12 * s, 0.76 * s, 0.76 * s));
        }
        icon.addPixmap(pixmap, QIcon::Normal, QIcon::Off);
    }
    return icon;
}

void drawBrandMark(QPainter *painter, const QRectF &rect)
{
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    painter->translate(rect.topLeft());
    painter->scale(rect.width() / 100.0, rect.height() / 100.0);
    painter->setPen(Qt::NoPen);

    QLinearGradient gradient(QPointF(8, 8), QPointF(92, 92));
    gradient.setColorAt(0, QColor(QStringLiteral("#ffc247")));
    gradient.setColorAt(1, QColor(QStringLiteral("#f0861c")));
    painter->setBrush(gradient);
    painter->drawPolygon(polygon({{8, 8}, {92, 8}, {92, 24}, {34, 76}, {92, 76}, {92, 92}, {8, 92},
                                  {8, 76}, {66, 24}, {8, 24}}));

    painter->setBrush(QColor(QStringLiteral("#ffe08a")));
    painter->drawPolygon(polygon({{68, 48}, {88, 60}, {68, 72}}));
    painter->restore();
}
