#pragma once

// Saves a widget's picture where a person can look at it after the test run:
// <build dir>/captures/widgets/<name>.png (the build dir comes from ZELVO_BUILD_DIR).

#include <QDir>
#include <QImage>
#include <QString>
#include <QWidget>

inline QImage grabWidget(QWidget *widget)
{
    return widget->grab().toImage().convertToFormat(QImage::Format_ARGB32);
}

inline bool saveCapture(const QImage &image, const QString &name)
{
    const QString build = qEnvironmentVariable("ZELVO_BUILD_DIR");
    if (build.isEmpty())
        return false;
    const QString dir = build + QStringLiteral("/captures/widgets");
    QDir().mkpath(dir);
    return image.save(dir + QLatin1Char('/') + name + QStringLiteral(".png"));
}

// Colour distance used where antialiasing or text rendering blends a colour with its surroundings.
inline int colorDistance(QRgb a, QRgb b)
{
    return qAbs(qRed(a) - qRed(b)) + qAbs(qGreen(a) - qGreen(b)) + qAbs(qBlue(a) - qBlue(b));
}

// Whether some pixel of rect (clipped to the image) is within tolerance of color.
inline bool hasColorNear(const QImage &image, const QRect &rect, const QColor &color, int tolerance)
{
    const QRect area = rect.intersected(image.rect());
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            if (colorDistance(image.pixel(x, y), color.rgb()) <= tolerance)
                return true;
    return false;
}
