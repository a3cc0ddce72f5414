#include "outputs/display/VideoFrameFromImage.h"

#include <QVideoFrameFormat>
#include <algorithm>
#include <cstring>

QVideoFrame videoFrameFromImage(const QImage &image, qreal frameRate)
{
    if (image.isNull())
        return {};
    QImage picture = image;
    QVideoFrameFormat::PixelFormat pixelFormat = QVideoFrameFormat::pixelFormatFromImageFormat(picture.format());
    if (pixelFormat == QVideoFrameFormat::Format_Invalid) {
        picture = picture.convertToFormat(QImage::Format_RGBA8888);
        pixelFormat = QVideoFrameFormat::Format_RGBA8888;
    }
    QVideoFrameFormat format(picture.size(), pixelFormat);
    if (frameRate > 0)
        format.setFrameRate(frameRate);
    QVideoFrame frame(format);
    if (!frame.map(QVideoFrame::WriteOnly))
        return {};
    // The frame's rows may be padded differently from the picture's.
    const int rowBytes = std::min<qsizetype>(picture.bytesPerLine(), frame.bytesPerLine(0));
    uchar *target = frame.bits(0);
    for (int y = 0; y < picture.height(); ++y)
        std::memcpy(target + qsizetype(y) * frame.bytesPerLine(0), picture.constScanLine(y), rowBytes);
    frame.unmap();
    return frame;
}
