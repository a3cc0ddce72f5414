#pragma once

#include <QVideoFrame>
#include <QVideoFrameFormat>

struct AVFrame;
struct SwsContext;

// Turns a decoded AVFrame into a QVideoFrame with exactly one pass over its pixels: planes of a
// format Qt shows as it is are copied once; any other format is converted once by libswscale straight
// into the QVideoFrame's memory. The frame carries its media start and end times, the stream's frame
// rate, its colour description and the display rotation and mirroring.
//
// 10-bit 4:2:0 (yuv420p10) becomes Format_P010: Qt 6.4 allocates Format_YUV420P10 frames with an
// 8-bit line stride (half the memory the samples need), so that format cannot hold the picture.
class VideoFrameWrapper
{
public:
    VideoFrameWrapper() = default;
    ~VideoFrameWrapper();
    VideoFrameWrapper(const VideoFrameWrapper &) = delete;
    VideoFrameWrapper &operator=(const VideoFrameWrapper &) = delete;

    void setStreamTraits(double frameRate, int rotation, bool mirrored);
    // An invalid frame when the memory cannot be had or the format cannot be converted.
    QVideoFrame wrap(const AVFrame *frame, qint64 startUs, qint64 endUs);

    // The Qt format a decoded FFmpeg pixel format is shown in (Format_Invalid: needs conversion).
    static QVideoFrameFormat::PixelFormat directFormat(int avPixelFormat);
    static QVideoFrameFormat::ColorTransfer colorTransfer(int avTransfer);
    static QVideoFrameFormat::ColorSpace colorSpace(int avColorSpace);
    // Maps a newly made frame for writing and has the kernel provide its memory's pages in one call:
    // a fresh picture would otherwise take one page fault per 4 KiB on its first write, which costs
    // several milliseconds per 1080p picture in a virtual machine.
    static bool mapForWriting(QVideoFrame &frame);

private:
    QVideoFrameFormat formatFor(const AVFrame *frame, QVideoFrameFormat::PixelFormat pixelFormat);
    bool copyPlanes(const AVFrame *frame, QVideoFrame &target);
    bool convert(const AVFrame *frame, int targetAvFormat, QVideoFrame &target);
    static bool packP010(const AVFrame *frame, QVideoFrame &target);
    static int conversionTarget(int avPixelFormat);

    SwsContext *m_sws = nullptr;
    double m_frameRate = 0;
    QVideoFrame::RotationAngle m_rotation = QVideoFrame::Rotation0;
    bool m_mirrored = false;
    QVideoFrameFormat m_format;  // reused while the frames look alike
};
