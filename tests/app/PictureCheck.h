#pragma once

// Small measures of a screenshot or capture: whether it shows anything (more than a flat fill) and
// how much two pictures of the same size differ.

#include <QImage>
#include <QSet>
#include <cmath>

// Standard deviation of the luminance over a grid of samples, and the number of distinct colours
// among them. A blank or single-colour picture gives 0 and 1.
struct PictureSpread
{
    double luminanceDeviation = 0;
    int colours = 0;
};

inline PictureSpread pictureSpread(const QImage &image)
{
    PictureSpread spread;
    if (image.isNull())
        return spread;
    QSet<QRgb> colours;
    double sum = 0;
    double squares = 0;
    int count = 0;
    for (int y = 0; y < image.height(); y += 4) {
        for (int x = 0; x < image.width(); x += 4) {
            const QRgb pixel = image.pixel(x, y);
            colours.insert(pixel);
            const double luminance = 0.2126 * qRed(pixel) + 0.7152 * qGreen(pixel) + 0.0722 * qBlue(pixel);
            sum += luminance;
            squares += luminance * luminance;
            ++count;
        }
    }
    const double mean = sum / count;
    spread.luminanceDeviation = std::sqrt(std::max(0.0, squares / count - mean * mean));
    spread.colours = int(colours.size());
    return spread;
}

// Share of sampled pixels that differ between two pictures (1 when the sizes differ).
inline double pictureDifference(const QImage &a, const QImage &b)
{
    if (a.size() != b.size() || a.isNull())
        return 1;
    int differing = 0;
    int count = 0;
    for (int y = 0; y < a.height(); y += 2) {
        for (int x = 0; x < a.width(); x += 2) {
            differing += a.pixel(x, y) != b.pixel(x, y) ? 1 : 0;
            ++count;
        }
    }
    return double(differing) / count;
}
