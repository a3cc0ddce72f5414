#include "app/widgets/StereoMeter.h"

#include "engine/NativeChannel.h"

#include <QPainter>
#include <QTimer>

#include <algorithm>
#include <cmath>

StereoMeter::StereoMeter(NativeChannel *channel, int sample, QWidget *parent)
    : QWidget(parent)
    , sampleLevels(sample != 0)
{
    setMinimumSize(110, 27);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    if (channel)
        connect(channel, &NativeChannel::audioMeter, this, &StereoMeter::feed);
    timer = new QTimer(this);
    timer->setInterval(tickMs);
    connect(timer, &QTimer::timeout, this, &StereoMeter::tick);
    timer->start();
}

void StereoMeter::feed(float left, float right)
{
    rawLeft = std::max(rawLeft, left);
    rawRight = std::max(rawRight, right);
}

void StereoMeter::tick()
{
    if (sampleLevels) {
        shownLeft = 0.47f;
        shownRight = 0.38f;
    } else {
        shownLeft = std::max(shownLeft * decay, rawLeft);
        shownRight = std::max(shownRight * decay, rawRight);
    }
    rawLeft = 0;
    rawRight = 0;
    if (isVisible())
        update();
}

int StereoMeter::litSegments(float level)
{
    const double db = level > 0.00001f ? 20.0 * std::log10(double(level)) : -60.0;
    const double fraction = std::clamp((db + 60.0) / 60.0, 0.0, 1.0);
    return int(std::lround(fraction * segmentCount));
}

int StereoMeter::segmentPitch(int width)
{
    return std::max(1, (width - 16) / segmentCount);
}

void StereoMeter::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setFont(QFont(QStringLiteral("Segoe UI"), 7));
    const int pitch = segmentPitch(width());
    const int segment = pitch - 2 < 2 ? 1 : pitch - 2;
    const QColor off(QStringLiteral("#243343"));
    const QColor red(QStringLiteral("#f47f74"));
    const QColor green(QStringLiteral("#55cc8f"));
    const QColor yellow(QStringLiteral("#e7c86b"));
    const float levels[2] = {shownLeft, shownRight};
    for (int i = 0; i < 2; ++i) {
        painter.setPen(QColor(QStringLiteral("#9aacc0")));
        painter.drawText(QPointF(0, 13 * i + 11), i == 0 ? QStringLiteral("L") : QStringLiteral("R"));
        const int lit = litSegments(levels[i]);
        for (int j = 0; j < segmentCount; ++j) {
            const QColor &color = j >= lit ? off : j >= 26 ? red : j < 22 ? green : yellow;
            painter.fillRect(QRect(pitch * j + 16, 13 * i + 3, segment, 7), color);
        }
    }
}
