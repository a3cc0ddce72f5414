#pragma once

#include <QImage>
#include <QObject>
#include <QVideoFrame>

class NativeChannel;

// The CPU picture of a Program deck's current frame, converted once and shared by every GPU output
// of that deck (each holds the cache through a QSharedPointer).
class GpuFrameCache : public QObject
{
    Q_OBJECT
public:
    GpuFrameCache(NativeChannel *source, QObject *parent);

    // The picture of frame: the cached one when frame is the cached frame, else a new conversion.
    QImage image(const QVideoFrame &frame);

    int conversions() const { return m_conversions; }
    double readbackMs() const { return m_readbackMs; }

private:
    void onSourceFrame(const QVideoFrame &frame);

    QVideoFrame m_frame;
    QImage m_image;
    int m_conversions = 0;
    double m_readbackMs = 0;
};
