#include "app/widgets/SamplePicture.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

SamplePicture::SamplePicture(int variant, QWidget *parent)
    : QWidget(parent)
    , accentVariant(variant)
{
}

QColor SamplePicture::accent() const
{
    switch (accentVariant) {
    case 1:
        return QColor(QStringLiteral("#efad60"));
    case 2:
        return QColor(QStringLiteral("#a480ee"));
    default:
        return QColor(QStringLiteral("#46a9e2"));
    }
}

namespace {

void paintTruss(QPainter &p)
{
    p.setPen(QPen(QColor(QStringLiteral("#31465a")), 3));
    p.drawLine(QPointF(55, 38), QPointF(905, 38));
    p.drawLine(QPointF(55, 58), QPointF(905, 58));
    for (int x = 55; x + 42 <= 905; x += 42) {
        p.drawLine(QPointF(x, 38), QPointF(x + 42, 58));
        p.drawLine(QPointF(x, 58), QPointF(x + 42, 38));
    }
    p.setPen(Qt::NoPen);
    p.fillRect(QRectF(55, 62, 14, 352), QColor(QStringLiteral("#182735")));
    p.fillRect(QRectF(891, 62, 14, 352), QColor(QStringLiteral("#182735")));
}

void paintScreen(QPainter &p, const QColor &accent)
{
    const QRectF screen(236, 157, 488, 220);
    QLinearGradient fill(screen.topLeft(), screen.bottomRight());
    fill.setColorAt(0, accent.darker(250));
    fill.setColorAt(0.55, accent.darker(120));
    fill.setColorAt(1, accent.darker(350));
    p.fillRect(screen, fill);

    p.save();
    p.setClipRect(screen);
    QColor line = accent;
    line.setAlpha(100);
    p.setPen(QPen(line, 1.5));
    p.setBrush(Qt::NoBrush);
    for (int i = 0; i < 32; ++i) {
        const double y = screen.top() - 60 + i * 11.0;
        QPainterPath curve(QPointF(screen.left() - 10, y));
        curve.cubicTo(QPointF(screen.left() + 150, y - 70 + i * 2.0),
                      QPointF(screen.left() + 330, y + 90 - i * 3.0),
                      QPointF(screen.right() + 10, y + 20));
        p.drawPath(curve);
    }
    p.restore();
}

void paintBeams(QPainter &p, const QColor &accent)
{
    p.save();
    p.setCompositionMode(QPainter::CompositionMode_Screen);
    p.setPen(Qt::NoPen);
    for (int i = 0; i < 8; ++i) {
        const double x = 108.0 * i + 100;
        const double side = i % 2 == 0 ? 1.0 : -1.0;
        QLinearGradient beam(QPointF(x, 72), QPointF(x, 430));
        QColor start = accent;
        start.setAlpha(88);
        QColor end = accent;
        end.setAlpha(0);
        beam.setColorAt(0, start);
        beam.setColorAt(1, end);
        p.setBrush(beam);
        const QPointF points[] = {{x - 4, 72}, {x + 4, 72}, {x + side * 100, 430}, {x + side * 5, 430}};
        p.drawPolygon(points, 4);
        p.setBrush(accent.lighter(155));
        p.drawEllipse(QPointF(x, 75), 5, 3);
    }
    p.restore();
}

void paintStageAndAudience(QPainter &p, const QColor &accent)
{
    p.fillRect(QRectF(95, 403, 770, 12), accent.darker(280));
    p.fillRect(QRectF(82, 415, 796, 12), QColor(QStringLiteral("#07101b")));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(QStringLiteral("#030812")));
    for (int i = 0; i < 36; ++i) {
        const double x = 14 + i * 26.7;
        const double lift = (i * 7) % 3 * 4.0; // uneven row of heads
        p.drawEllipse(QPointF(x, 478 - lift), 10, 12);
        p.drawRoundedRect(QRectF(x - 17, 494 - lift, 34, 60), 12, 12);
    }
}

} // namespace

void SamplePicture::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(width() / 960.0, height() / 540.0);
    const QColor tint = accent();

    QLinearGradient background(QPointF(0, 0), QPointF(0, 540));
    background.setColorAt(0, QColor(QStringLiteral("#030b15")));
    background.setColorAt(0.75, tint.darker(500));
    background.setColorAt(1, QColor(QStringLiteral("#02060d")));
    p.fillRect(QRectF(0, 0, 960, 540), background);

    paintTruss(p);
    paintScreen(p, tint);
    paintBeams(p, tint);
    paintStageAndAudience(p, tint);

    QFont caption(QStringLiteral("Segoe UI"), 12);
    caption.setWeight(QFont::DemiBold);
    p.setFont(caption);
    p.setPen(QColor(QStringLiteral("#a7b6c9")));
    p.drawText(QPointF(18, 520), QStringLiteral("LAYOUT SAMPLE"));
}
