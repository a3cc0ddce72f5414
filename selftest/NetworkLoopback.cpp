#include "selftest/NetworkLoopback.h"

#include "outputs/network/NdiApi.h"
#include "outputs/network/OmtApi.h"

#include <QJsonObject>
#include <QRegularExpression>
#include <cmath>

namespace {

constexpr int traceLimit = 256;
constexpr int fullWidth = 1920;
constexpr int fullHeight = 1080;

double firstChannelPeak(const float *samples, int count)
{
    double peak = 0.0;
    for (int i = 0; samples && i < count; ++i)
        peak = std::max(peak, double(std::fabs(samples[i])));
    return peak;
}

qint64 sequenceFromMetadata(const char *metadata)
{
    static const QRegularExpression pattern(QStringLiteral("<zelvo_frame sequence=\"([0-9]+)\""));
    if (!metadata)
        return -1;
    const QRegularExpressionMatch match = pattern.match(QString::fromUtf8(metadata));
    return match.hasMatch() ? match.captured(1).toLongLong() : -1;
}

// ORs the picture's black verdict into the protocol's flag and keeps the probe's mean.
void probe(NetworkLoopback::Protocol &protocol, const unsigned char *data, int width, int height, int stride)
{
    double mean = -1.0;
    protocol.black = NetworkLoopback::probeBlackFrame(data, width, height, stride, &mean) || protocol.black;
    if (mean >= 0.0)
        protocol.lastMean = mean;
}

} // namespace

NetworkLoopback::NetworkLoopback(std::shared_ptr<NdiApi> ndi, std::shared_ptr<OmtApi> omt)
    : m_ndiApi(std::move(ndi)), m_omtApi(std::move(omt))
{
}

NetworkLoopback::~NetworkLoopback()
{
    destroyReceivers();
}

bool NetworkLoopback::createNdiReceiver(const QString &sourceName)
{
    if (!m_ndiApi || !m_ndiApi->initialised || m_ndiReceiver)
        return false;
    const QByteArray name = sourceName.toUtf8();
    NDIlib_recv_create_v3_t settings{};
    settings.source_to_connect_to.p_ndi_name = name.constData();
    settings.source_to_connect_to.p_url_address = nullptr;
    settings.color_format = NDIlib_recv_color_format_BGRX_BGRA;
    settings.bandwidth = NDIlib_recv_bandwidth_highest;
    settings.allow_video_fields = false;
    settings.p_ndi_recv_name = "Zelvo QA loopback";
    m_ndiReceiver = m_ndiApi->NDIlib_recv_create_v3(&settings);
    return m_ndiReceiver != nullptr;
}

bool NetworkLoopback::createOmtReceiver(const QString &address)
{
    if (!m_omtApi || !m_omtApi->initialised || m_omtReceiver)
        return false;
    m_omtReceiver = m_omtApi->omt_receive_create(address.toUtf8().constData(),
                                                 OMTFrameType_Video | OMTFrameType_Audio,
                                                 OMTPreferredVideoFormat_BGRA, 0);
    return m_omtReceiver != nullptr;
}

void NetworkLoopback::destroyReceivers()
{
    if (m_ndiReceiver)
        m_ndiApi->NDIlib_recv_destroy(m_ndiReceiver);
    if (m_omtReceiver)
        m_omtApi->omt_receive_destroy(m_omtReceiver);
    m_ndiReceiver = nullptr;
    m_omtReceiver = nullptr;
}

bool NetworkLoopback::receiveStep()
{
    if (m_ndiReceiver)
        receiveNdi();
    if (m_omtReceiver)
        receiveOmt();
    return complete();
}

bool NetworkLoopback::complete() const
{
    return ndi.videoFrames >= 8 && ndi.audioFrames >= 8 && ndi.audioPeak > 0.001 && omt.videoFrames >= 8
        && omt.audioFrames >= 8 && omt.audioPeak > 0.001;
}

void NetworkLoopback::receiveNdi()
{
    NDIlib_video_frame_v2_t video{};
    NDIlib_audio_frame_v2_t audio{};
    const int type = m_ndiApi->NDIlib_recv_capture_v2(m_ndiReceiver, &video, &audio, nullptr, 0);
    if (type == NDIlib_frame_type_video) {
        probe(ndi, video.p_data, video.xres, video.yres, video.line_stride_in_bytes);
        ndiFourcc = video.FourCC;
        if (video.xres == fullWidth && video.yres == fullHeight) {
            ++ndi.videoFrames;
            const qint64 sequence = sequenceFromMetadata(video.p_metadata);
            const qsizetype bytes = qsizetype(video.yres) * video.line_stride_in_bytes;
            const QByteArray payload(reinterpret_cast<const char *>(video.p_data), video.p_data ? bytes : 0);
            ndiOrderOk = ndiOrder.accept(sequence, video.timecode, video.timestamp, payload) && ndiOrderOk;
            const bool rising = video.timecode > ndiLastVideoTimecode;
            if (!rising)
                ++ndiRawTimecodeRepeats;
            ndiRawTimecodeStrict = ndiRawTimecodeStrict && rising;
            if (ndi.trace.size() < traceLimit) {
                ndi.trace.append(QJsonObject{
                    {QStringLiteral("frame"), ndi.videoFrames},
                    {QStringLiteral("sequence"), QString::number(sequence)},
                    {QStringLiteral("verified_payload_bytes"), double(bytes)},
                    {QStringLiteral("timecode"), QString::number(video.timecode)},
                    {QStringLiteral("sdk_timestamp"), QString::number(video.timestamp)},
                });
            }
            ndiLastVideoTimecode = video.timecode;
        }
        m_ndiApi->NDIlib_recv_free_video_v2(m_ndiReceiver, &video);
    } else if (type == NDIlib_frame_type_audio) {
        if (audio.sample_rate == 48000 && audio.no_channels == 2) {
            ++ndi.audioFrames;
            ndiAudioTimecodeStrict = ndiAudioTimecodeStrict && audio.timecode > ndiLastAudioTimecode;
            ndiLastAudioTimecode = audio.timecode;
            ndi.audioPeak = std::max(ndi.audioPeak, firstChannelPeak(audio.p_data, audio.no_samples));
        }
        m_ndiApi->NDIlib_recv_free_audio_v2(m_ndiReceiver, &audio);
    }
}

void NetworkLoopback::receiveOmt()
{
    const OMTMediaFrame *frame =
        m_omtApi->omt_receive(m_omtReceiver, OMTFrameType_Video | OMTFrameType_Audio, 0);
    if (!frame)
        return;
    if (frame->Type == OMTFrameType_Video) {
        probe(omt, static_cast<const unsigned char *>(frame->Data), frame->Width, frame->Height, frame->Stride);
        omtCodec = frame->Codec;
        if (frame->Width == fullWidth && frame->Height == fullHeight) {
            ++omt.videoFrames;
            const bool rising = frame->Timestamp > omtLastTimestamp;
            if (!rising)
                ++omtViolations;
            omtTimestampsStrict = omtTimestampsStrict && rising;
            if (omt.trace.size() < traceLimit) {
                omt.trace.append(QJsonObject{
                    {QStringLiteral("frame"), omt.videoFrames},
                    {QStringLiteral("timecode"), QString::number(frame->Timestamp)},
                });
            }
            omtLastTimestamp = frame->Timestamp;
        }
    } else if (frame->Type == OMTFrameType_Audio && frame->SampleRate == 48000 && frame->Channels == 2) {
        ++omt.audioFrames;
        omt.audioPeak = std::max(omt.audioPeak,
                                 firstChannelPeak(static_cast<const float *>(frame->Data), frame->SamplesPerChannel));
    }
}

bool NetworkLoopback::probeBlackFrame(const unsigned char *data, int width, int height, int strideBytes, double *mean)
{
    if (!data || width < 1 || height < 1 || strideBytes < width * 4)
        return false;
    int sum = 0;
    for (int k = 1; k <= 7; ++k) {
        const unsigned char *row = data + qsizetype(height * k / 8) * strideBytes;
        for (int j = 1; j <= 7; ++j) {
            const unsigned char *pixel = row + qsizetype(width * j / 8) * 4;
            sum += pixel[0] + pixel[1] + pixel[2];
        }
    }
    *mean = sum / 147.0;
    return *mean < 3.0;
}
