#include "platform/media/AudioConverter.h"

#include <QAudioFormat>
#include <vector>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

AudioConverter::~AudioConverter()
{
    reset();
}

void AudioConverter::reset()
{
    swr_free(&m_swr);
    m_inFormat = m_outFormat = -1;
    m_inChannels = m_outChannels = m_inRate = m_outRate = 0;
}

bool AudioConverter::configure(const AVChannelLayout &inLayout, int inFormat, int inRate, int outChannels,
                               int outFormat, int outRate)
{
    const quint64 mask = inLayout.order == AV_CHANNEL_ORDER_NATIVE ? inLayout.u.mask : 0;
    if (m_swr && inLayout.nb_channels == m_inChannels && mask == m_inMask && inFormat == m_inFormat
        && inRate == m_inRate && outChannels == m_outChannels && outFormat == m_outFormat
        && outRate == m_outRate)
        return true;
    reset();
    if (inLayout.nb_channels <= 0 || inRate <= 0 || outChannels <= 0 || outRate <= 0)
        return false;

    AVChannelLayout in{};
    if (inLayout.order == AV_CHANNEL_ORDER_UNSPEC)
        av_channel_layout_default(&in, inLayout.nb_channels);
    else if (av_channel_layout_copy(&in, &inLayout) < 0)
        return false;
    AVChannelLayout out{};
    av_channel_layout_default(&out, outChannels);
    int rc = swr_alloc_set_opts2(&m_swr, &out, AVSampleFormat(outFormat), outRate, &in,
                                 AVSampleFormat(inFormat), inRate, 0, nullptr);
    if (rc >= 0 && in.nb_channels == 1 && outChannels > 1) {
        const std::vector<double> matrix(outChannels, 1.0);
        rc = swr_set_matrix(m_swr, matrix.data(), 1);
    }
    if (rc >= 0)
        rc = swr_init(m_swr);
    av_channel_layout_uninit(&in);
    av_channel_layout_uninit(&out);
    if (rc < 0) {
        swr_free(&m_swr);
        return false;
    }
    m_inChannels = inLayout.nb_channels;
    m_inMask = mask;
    m_inFormat = inFormat;
    m_inRate = inRate;
    m_outChannels = outChannels;
    m_outFormat = outFormat;
    m_outRate = outRate;
    m_inBytesPerFrame = av_get_bytes_per_sample(AVSampleFormat(inFormat)) * m_inChannels;
    m_outBytesPerFrame = av_get_bytes_per_sample(AVSampleFormat(outFormat)) * outChannels;
    return true;
}

bool AudioConverter::configureFromFloat(int inChannels, int inRate, int outChannels, int outFormat, int outRate)
{
    AVChannelLayout layout{};
    av_channel_layout_default(&layout, inChannels);
    const bool ok = configure(layout, AV_SAMPLE_FMT_FLT, inRate, outChannels, outFormat, outRate);
    av_channel_layout_uninit(&layout);
    return ok;
}

QByteArray AudioConverter::convert(const quint8 *const *in, int inFrames)
{
    if (!m_swr)
        return {};
    const int capacity = swr_get_out_samples(m_swr, inFrames);
    if (capacity <= 0)
        return {};
    QByteArray out(qsizetype(capacity) * m_outBytesPerFrame, Qt::Uninitialized);
    quint8 *dst = reinterpret_cast<quint8 *>(out.data());
    const int frames = swr_convert(m_swr, &dst, capacity, const_cast<const uint8_t **>(in), inFrames);
    if (frames <= 0)
        return {};
    out.truncate(qsizetype(frames) * m_outBytesPerFrame);
    return out;
}

QByteArray AudioConverter::convertInterleaved(const QByteArray &in)
{
    if (!m_swr || m_inBytesPerFrame <= 0)
        return {};
    const quint8 *src = reinterpret_cast<const quint8 *>(in.constData());
    return convert(&src, int(in.size() / m_inBytesPerFrame));
}

qint64 AudioConverter::delayInInputSamples() const
{
    return m_swr ? swr_get_delay(m_swr, m_inRate) : 0;
}

int AudioConverter::sampleFormatOf(const QAudioFormat &format)
{
    switch (format.sampleFormat()) {
    case QAudioFormat::UInt8: return AV_SAMPLE_FMT_U8;
    case QAudioFormat::Int16: return AV_SAMPLE_FMT_S16;
    case QAudioFormat::Int32: return AV_SAMPLE_FMT_S32;
    case QAudioFormat::Float: return AV_SAMPLE_FMT_FLT;
    default: return AV_SAMPLE_FMT_NONE;
    }
}
