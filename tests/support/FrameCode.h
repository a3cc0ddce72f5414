#pragma once

#include <QImage>
#include <QVideoFrame>

// Reads the frame index that the generated clips carry in a strip along their bottom edge:
// 16 equal blocks across the width, most significant bit left, white = 1, strip height H/20.
// Returns -1 when the frame cannot be read.
inline int frameCodeOf(const QImage &image)
{
    if (image.isNull() || image.width() < 16 || image.height() < 20)
        return -1;
    const int stripHeight = image.height() / 20;
    const int y = image.height() - stripHeight / 2 - 1;
    int value = 0;
    for (int bit = 0; bit < 16; ++bit) {
        const int x = (2 * bit + 1) * image.width() / 32;
        value = (value << 1) | (qGray(image.pixel(x, y)) > 128 ? 1 : 0);
    }
    return value;
}

inline int frameCodeOf(const QVideoFrame &frame)
{
    return frame.isValid() ? frameCodeOf(frame.toImage()) : -1;
}
