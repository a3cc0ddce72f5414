// Transition pictures composed straight on the decoded YUV planes: a dissolve, a fade through black
// and the exit fade are per-pixel weighted sums of the two pictures and black, so for frames of one
// size and planar layout (what a deck's decoder gives) the sum runs on the planes themselves. That is
// a few milliseconds on the GUI thread at 1080p, where converting both pictures to RGB first costs
// tens; other frames take the QImage route of composeTransitionImage().
#include "engine/NativeChannel.h"

#include "platform/media/VideoFrameWrapper.h"

#include <QVideoFrameFormat>
#include <algorithm>
#include <cstring>

namespace {

bool isPlanarYuv(QVideoFrameFormat::PixelFormat format)
{
    return format == QVideoFrameFormat::Format_YUV420P || format == QVideoFrameFormat::Format_NV12;
}

// Weights in 1/256 of the outgoing picture, the incoming picture and black; they add up to 256.
struct Weights
{
    int outgoing = 0;
    int incoming = 0;
    int black = 0;
};

Weights weightsFor(double progress, int kind, double exitFactor, bool hasOutgoing)
{
    const double p = std::clamp(progress, 0.0, 1.0);
    double o = 0, i = 1;
    if (kind == 1) {
        o = 1.0 - p;  // the outgoing picture under the incoming one at opacity p
        i = p;
    } else if (kind == 2) {
        o = std::max(1.0 - 2.0 * p, 0.0);
        i = std::max(2.0 * p - 1.0, 0.0);
    }
    if (!hasOutgoing)
        o = 0;
    const double h = std::clamp(exitFactor, 0.0, 1.0);
    Weights w;
    w.outgoing = int(o * h * 256.0 + 0.5);
    w.incoming = int(i * h * 256.0 + 0.5);
    w.black = std::max(0, 256 - w.outgoing - w.incoming);
    return w;
}

void blendRow(uchar *out, const uchar *o, const uchar *in, int bytes, const Weights &w, int black)
{
    const int base = black * w.black + 128;
    if (o) {
        for (int x = 0; x < bytes; ++x)
            out[x] = uchar((o[x] * w.outgoing + in[x] * w.incoming + base) >> 8);
    } else {
        for (int x = 0; x < bytes; ++x)
            out[x] = uchar((in[x] * w.incoming + base) >> 8);
    }
}

} // namespace

QVideoFrame NativeChannel::composeTransitionFrame(const QVideoFrame &outgoing, const QVideoFrame &incoming,
                                                  double progress, int kind, double exitFactor)
{
    const QVideoFrameFormat format = incoming.surfaceFormat();
    const bool hasOutgoing = outgoing.isValid();
    if (!incoming.isValid() || !isPlanarYuv(format.pixelFormat()))
        return {};
    if (hasOutgoing
        && (outgoing.pixelFormat() != format.pixelFormat() || outgoing.size() != incoming.size()
            || outgoing.surfaceFormat().colorRange() != format.colorRange()
            || outgoing.rotationAngle() != incoming.rotationAngle() || outgoing.mirrored() != incoming.mirrored()))
        return {};
    QVideoFrame o = outgoing;
    QVideoFrame in = incoming;
    QVideoFrame out(format);
    if (!in.map(QVideoFrame::ReadOnly))
        return {};
    if (hasOutgoing && !o.map(QVideoFrame::ReadOnly)) {
        in.unmap();
        return {};
    }
    const bool mapped = VideoFrameWrapper::mapForWriting(out);
    if (mapped) {
        const Weights w = weightsFor(progress, kind, exitFactor, hasOutgoing);
        const bool full = format.colorRange() == QVideoFrameFormat::ColorRange_Full;
        const int height = incoming.height();
        for (int plane = 0; plane < in.planeCount(); ++plane) {
            const int rows = plane == 0 ? height : (height + 1) / 2;
            const int bytes = std::min(in.bytesPerLine(plane), out.bytesPerLine(plane));
            const int black = plane == 0 ? (full ? 0 : 16) : 128;
            for (int y = 0; y < rows; ++y) {
                const uchar *oRow = hasOutgoing ? o.bits(plane) + qsizetype(y) * o.bytesPerLine(plane) : nullptr;
                blendRow(out.bits(plane) + qsizetype(y) * out.bytesPerLine(plane),
                         oRow, in.bits(plane) + qsizetype(y) * in.bytesPerLine(plane), bytes, w, black);
            }
        }
        out.unmap();
    }
    in.unmap();
    if (hasOutgoing)
        o.unmap();
    if (!mapped)
        return {};
    out.setStartTime(incoming.startTime());
    out.setEndTime(incoming.endTime());
    out.setRotationAngle(incoming.rotationAngle());
    out.setMirrored(incoming.mirrored());
    return out;
}
