#include "outputs/display/FrameGate.h"

#include <QVideoFrameFormat>

QString highDepthNotice()
{
    return QStringLiteral("High-depth, HDR or transformed frame: using Native scaling");
}

bool needsNativeScaling(const QVideoFrame &frame)
{
    const QVideoFrameFormat format = frame.surfaceFormat();
    const auto pixelFormat = format.pixelFormat();
    const bool highDepth = pixelFormat >= QVideoFrameFormat::Format_Y16
                           && pixelFormat <= QVideoFrameFormat::Format_YUV420P10
                           && pixelFormat != QVideoFrameFormat::Format_Jpeg;
    const auto transfer = format.colorTransfer();
    const bool hdr = transfer == QVideoFrameFormat::ColorTransfer_ST2084
                     || transfer == QVideoFrameFormat::ColorTransfer_STD_B67;
    const bool transformed = frame.rotationAngle() != QVideoFrame::Rotation0 || frame.mirrored()
                             || format.isMirrored();
    const bool cropped = format.viewport() != QRect(QPoint(0, 0), frame.size());
    return highDepth || hdr || transformed || cropped;
}

QString gpuRefusalReason(const QVideoFrame &frame)
{
    if (needsNativeScaling(frame) || !frame.subtitleText().isEmpty())
        return highDepthNotice();
    return {};
}
