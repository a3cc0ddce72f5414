#include "outputs/display/GpuFrameCache.h"

#include "engine/NativeChannel.h"

#include <QElapsedTimer>

GpuFrameCache::GpuFrameCache(NativeChannel *source, QObject *parent) : QObject(parent)
{
    if (source)
        connect(source, &NativeChannel::frameReady, this, &GpuFrameCache::onSourceFrame);
}

void GpuFrameCache::onSourceFrame(const QVideoFrame &frame)
{
    // A new frame makes the old picture useless; dropping it early frees its memory before the
    // outputs ask for the new one.
    if (frame != m_frame) {
        m_frame = QVideoFrame();
        m_image = QImage();
    }
}

QImage GpuFrameCache::image(const QVideoFrame &frame)
{
    if (frame != m_frame || m_image.isNull()) {
        QElapsedTimer timer;
        timer.start();
        m_image = frame.toImage();
        m_frame = frame;
        ++m_conversions;
        m_readbackMs = timer.nsecsElapsed() / 1e6;
    }
    return m_image;
}
