#include "platform/media/VideoFrameWrapper.h"

#include <QtEndian>
#include <sys/mman.h>
#include <unistd.h>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

VideoFrameWrapper::~VideoFrameWrapper()
{
    sws_freeContext(m_sws);
}

void VideoFrameWrapper::setStreamTraits(double frameRate, int rotation, bool mirrored)
{
    m_frameRate = frameRate;
    m_rotation = QVideoFrame::RotationAngle(((rotation % 360) + 360) % 360 / 90 * 90);
    m_mirrored = mirrored;
    m_format = {};
}

QVideoFrameFormat::PixelFormat VideoFrameWrapper::directFormat(int avPixelFormat)
{
    switch (avPixelFormat) {
    case AV_PIX_FMT_YUV420P:
    case AV_PIX_FMT_YUVJ420P: return QVideoFrameFormat::Format_YUV420P;
    case AV_PIX_FMT_NV12: return QVideoFrameFormat::Format_NV12;
    case AV_PIX_FMT_P010LE: return QVideoFrameFormat::Format_P010;
    default: return QVideoFrameFormat::Format_Invalid;
    }
}

int VideoFrameWrapper::conversionTarget(int avPixelFormat)
{
    const AVPixFmtDescriptor *desc = av_pix_fmt_desc_get(AVPixelFormat(avPixelFormat));
    if (!desc)
        return AV_PIX_FMT_NONE;
    if (desc->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL) || desc->nb_components < 3)
        return desc->nb_components == 1 ? AV_PIX_FMT_NV12 : AV_PIX_FMT_RGBA;
    return desc->comp[0].depth > 8 ? AV_PIX_FMT_P010LE : AV_PIX_FMT_NV12;
}

QVideoFrameFormat::ColorTransfer VideoFrameWrapper::colorTransfer(int avTransfer)
{
    switch (avTransfer) {
    case AVCOL_TRC_BT709:
    case AVCOL_TRC_BT2020_10:
    case AVCOL_TRC_BT2020_12: return QVideoFrameFormat::ColorTransfer_BT709;
    case AVCOL_TRC_SMPTE170M:
    case AVCOL_TRC_SMPTE240M: return QVideoFrameFormat::ColorTransfer_BT601;
    case AVCOL_TRC_LINEAR: return QVideoFrameFormat::ColorTransfer_Linear;
    case AVCOL_TRC_GAMMA22: return QVideoFrameFormat::ColorTransfer_Gamma22;
    case AVCOL_TRC_GAMMA28: return QVideoFrameFormat::ColorTransfer_Gamma28;
    case AVCOL_TRC_SMPTE2084: return QVideoFrameFormat::ColorTransfer_ST2084;
    case AVCOL_TRC_ARIB_STD_B67: return QVideoFrameFormat::ColorTransfer_STD_B67;
    default: return QVideoFrameFormat::ColorTransfer_Unknown;
    }
}

QVideoFrameFormat::ColorSpace VideoFrameWrapper::colorSpace(int avColorSpace)
{
    switch (avColorSpace) {
    case AVCOL_SPC_BT709: return QVideoFrameFormat::ColorSpace_BT709;
    case AVCOL_SPC_BT470BG:
    case AVCOL_SPC_SMPTE170M:
    case AVCOL_SPC_SMPTE240M: return QVideoFrameFormat::ColorSpace_BT601;
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL: return QVideoFrameFormat::ColorSpace_BT2020;
    default: return QVideoFrameFormat::ColorSpace_Undefined;
    }
}

QVideoFrameFormat VideoFrameWrapper::formatFor(const AVFrame *frame, QVideoFrameFormat::PixelFormat pixelFormat)
{
    const QSize size(frame->width, frame->height);
    const auto transfer = colorTransfer(frame->color_trc);
    const auto space = colorSpace(frame->colorspace);
    const bool full = frame->color_range == AVCOL_RANGE_JPEG || frame->format == AV_PIX_FMT_YUVJ420P;
    const auto range = full ? QVideoFrameFormat::ColorRange_Full : QVideoFrameFormat::ColorRange_Video;
    if (m_format.pixelFormat() == pixelFormat && m_format.frameSize() == size
        && m_format.colorTransfer() == transfer && m_format.colorSpace() == space
        && m_format.colorRange() == range)
        return m_format;
    QVideoFrameFormat format(size, pixelFormat);
    format.setFrameRate(m_frameRate);
    format.setColorTransfer(transfer);
    format.setColorSpace(space);
    format.setColorRange(range);
    format.setMirrored(m_mirrored);
    m_format = format;
    return format;
}

QVideoFrame VideoFrameWrapper::wrap(const AVFrame *frame, qint64 startUs, qint64 endUs)
{
    auto pixelFormat = directFormat(frame->format);
    const int target = pixelFormat == QVideoFrameFormat::Format_Invalid ? conversionTarget(frame->format)
                                                                        : AV_PIX_FMT_NONE;
    if (target == AV_PIX_FMT_RGBA)
        pixelFormat = QVideoFrameFormat::Format_RGBA8888;
    else if (target == AV_PIX_FMT_NV12)
        pixelFormat = QVideoFrameFormat::Format_NV12;
    else if (target == AV_PIX_FMT_P010LE)
        pixelFormat = QVideoFrameFormat::Format_P010;
    if (pixelFormat == QVideoFrameFormat::Format_Invalid || frame->width <= 0 || frame->height <= 0)
        return {};

    QVideoFrame out(formatFor(frame, pixelFormat));
    if (!out.isValid() || !mapForWriting(out))
        return {};
    bool ok = target == AV_PIX_FMT_NONE ? copyPlanes(frame, out) : false;
    // Qt sizes the chroma planes of an odd-height YUV420P frame one row short: convert those instead.
    if (!ok && target == AV_PIX_FMT_NONE) {
        out.unmap();
        out = QVideoFrame(formatFor(frame, QVideoFrameFormat::Format_NV12));
        if (!out.isValid() || !mapForWriting(out))
            return {};
        ok = convert(frame, AV_PIX_FMT_NV12, out);
    } else if (target == AV_PIX_FMT_P010LE && frame->format == AV_PIX_FMT_YUV420P10LE) {
        ok = packP010(frame, out);
    } else if (target != AV_PIX_FMT_NONE) {
        ok = convert(frame, target, out);
    }
    out.unmap();
    if (!ok)
        return {};
    out.setStartTime(startUs);
    out.setEndTime(endUs);
    out.setRotationAngle(m_rotation);
    out.setMirrored(m_mirrored);
    return out;
}

bool VideoFrameWrapper::mapForWriting(QVideoFrame &frame)
{
    if (!frame.map(QVideoFrame::WriteOnly))
        return false;
#ifdef MADV_POPULATE_WRITE
    // Pages already in use (memory the allocator handed out before) are left as they are; a kernel
    // without this advice refuses it, and the pages then come with the first write as usual.
    const auto page = quintptr(sysconf(_SC_PAGESIZE));
    for (int plane = 0; plane < frame.planeCount(); ++plane) {
        const auto begin = quintptr(frame.bits(plane)) & ~(page - 1);
        const auto end = quintptr(frame.bits(plane)) + quintptr(frame.mappedBytes(plane));
        if (end > begin)
            madvise(reinterpret_cast<void *>(begin), end - begin, MADV_POPULATE_WRITE);
    }
#endif
    return true;
}

bool VideoFrameWrapper::copyPlanes(const AVFrame *frame, QVideoFrame &target)
{
    const AVPixFmtDescriptor *desc = av_pix_fmt_desc_get(AVPixelFormat(frame->format));
    int widths[4] = {};
    if (!desc || av_image_fill_linesizes(widths, AVPixelFormat(frame->format), frame->width) < 0)
        return false;
    const int planes = target.planeCount();
    for (int i = 0; i < planes; ++i) {
        const int rows = i == 0 ? frame->height : AV_CEIL_RSHIFT(frame->height, desc->log2_chroma_h);
        const int stride = target.bytesPerLine(i);
        if (stride < widths[i] || qint64(stride) * rows > target.mappedBytes(i))
            return false;
    }
    for (int i = 0; i < planes; ++i) {
        const int rows = i == 0 ? frame->height : AV_CEIL_RSHIFT(frame->height, desc->log2_chroma_h);
        av_image_copy_plane(target.bits(i), target.bytesPerLine(i), frame->data[i], frame->linesize[i],
                            widths[i], rows);
    }
    return true;
}

bool VideoFrameWrapper::packP010(const AVFrame *frame, QVideoFrame &target)
{
    // 10-bit samples in the low bits of 16-bit words become P010's high bits, and the two chroma
    // planes are interleaved: a plain loop over the words, several times faster than libswscale.
    const int width = frame->width;
    const int height = frame->height;
    const int chromaWidth = (width + 1) / 2;
    const int chromaHeight = (height + 1) / 2;
    if (target.planeCount() != 2 || target.bytesPerLine(0) < width * 2 || target.bytesPerLine(1) < chromaWidth * 4
        || qint64(target.bytesPerLine(0)) * height > target.mappedBytes(0)
        || qint64(target.bytesPerLine(1)) * chromaHeight > target.mappedBytes(1))
        return false;
    // Restrict-qualified pointers and one 32-bit store per chroma pair let the compiler vectorise both
    // loops without run-time overlap checks.
    for (int y = 0; y < height; ++y) {
        const quint16 *__restrict in = reinterpret_cast<const quint16 *>(frame->data[0] + qint64(y) * frame->linesize[0]);
        quint16 *__restrict out = reinterpret_cast<quint16 *>(target.bits(0) + qint64(y) * target.bytesPerLine(0));
        for (int x = 0; x < width; ++x)
            out[x] = quint16(in[x] << 6);
    }
    for (int y = 0; y < chromaHeight; ++y) {
        const quint16 *__restrict u = reinterpret_cast<const quint16 *>(frame->data[1] + qint64(y) * frame->linesize[1]);
        const quint16 *__restrict v = reinterpret_cast<const quint16 *>(frame->data[2] + qint64(y) * frame->linesize[2]);
        quint32 *__restrict out = reinterpret_cast<quint32 *>(target.bits(1) + qint64(y) * target.bytesPerLine(1));
        for (int x = 0; x < chromaWidth; ++x)
            out[x] = qToLittleEndian(quint32(u[x]) << 6 | quint32(v[x]) << 22);
    }
    return true;
}

bool VideoFrameWrapper::convert(const AVFrame *frame, int targetAvFormat, QVideoFrame &target)
{
    m_sws = sws_getCachedContext(m_sws, frame->width, frame->height, AVPixelFormat(frame->format),
                                 frame->width, frame->height, AVPixelFormat(targetAvFormat),
                                 SWS_BICUBIC, nullptr, nullptr, nullptr);
    if (!m_sws)
        return false;
    uint8_t *dst[4] = {};
    int dstStride[4] = {};
    for (int i = 0; i < target.planeCount() && i < 4; ++i) {
        dst[i] = target.bits(i);
        dstStride[i] = target.bytesPerLine(i);
    }
    return sws_scale(m_sws, frame->data, frame->linesize, 0, frame->height, dst, dstStride) > 0;
}
