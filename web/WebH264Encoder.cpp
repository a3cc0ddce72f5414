#include "web/WebH264Encoder.h"

#include "web/Nv12Conversion.h"

#include <QtGlobal>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/hwcontext.h>
#include <libavutil/opt.h>
}

struct WebH264Encoder::Session
{
    AVCodecContext *context = nullptr;
    AVFrame *frame = nullptr;   // NV12 in system memory
    AVFrame *upload = nullptr;  // VA-API surface, only for VA-API
    AVPacket *packet = nullptr;
    AVBufferRef *device = nullptr;
    int width = 0;
    int height = 0;
    int fps = 30;
    bool hardware = false;
    bool profileChecked = false;
    qint64 lastPts = -1;
    QString name;
    std::vector<uint8_t> nv12;

    ~Session()
    {
        av_packet_free(&packet);
        av_frame_free(&upload);
        av_frame_free(&frame);
        avcodec_free_context(&context);
        av_buffer_unref(&device);
    }
};

namespace {

struct EncoderChoice
{
    const char *codec;
    const char *name;
};

const EncoderChoice hardwareEncoders[] = {
    {"h264_vaapi", "VA-API H.264"},
    {"h264_nvenc", "NVIDIA NVENC H.264"},
    {"h264_qsv", "Intel Quick Sync H.264"},
};

bool setUpVaapi(AVCodecContext *context, AVBufferRef **device)
{
    if (av_hwdevice_ctx_create(device, AV_HWDEVICE_TYPE_VAAPI, nullptr, nullptr, 0) < 0)
        return false;
    AVBufferRef *frames = av_hwframe_ctx_alloc(*device);
    if (!frames)
        return false;
    auto *framesContext = reinterpret_cast<AVHWFramesContext *>(frames->data);
    framesContext->format = AV_PIX_FMT_VAAPI;
    framesContext->sw_format = AV_PIX_FMT_NV12;
    framesContext->width = context->width;
    framesContext->height = context->height;
    framesContext->initial_pool_size = 4;
    if (av_hwframe_ctx_init(frames) < 0) {
        av_buffer_unref(&frames);
        return false;
    }
    context->hw_frames_ctx = frames;
    context->pix_fmt = AV_PIX_FMT_VAAPI;
    return true;
}

} // namespace

WebH264Encoder::WebH264Encoder() = default;

WebH264Encoder::~WebH264Encoder()
{
    close();
}

void WebH264Encoder::close()
{
    m_session.reset();
}

QString WebH264Encoder::name() const
{
    return m_session ? m_session->name : QString();
}

bool WebH264Encoder::isHardware() const
{
    return m_session && m_session->hardware;
}

bool WebH264Encoder::open(int width, int height, int fps, int bitrate, bool tryHardware)
{
    close();
    m_needsFallback = false;
    if (tryHardware && !qEnvironmentVariableIsSet("ZELVO_WEB_SOFTWARE_ENCODER")) {
        for (const EncoderChoice &choice : hardwareEncoders) {
            if (openCodec(choice.codec, true, width, height, fps, bitrate)) {
                m_session->name = QString::fromLatin1(choice.name);
                m_lastError.clear();
                return true;
            }
        }
    }
    if (!avcodec_find_encoder_by_name("libx264")) {
        m_lastError = QStringLiteral("The libx264 H.264 encoder is unavailable");
        return false;
    }
    if (!openCodec("libx264", false, width, height, fps, bitrate)) {
        m_lastError = QStringLiteral("H.264 encoder rejected the stream format");
        return false;
    }
    m_session->name = QStringLiteral("libx264 (software)");
    if (m_pretendHardware)
        m_session->hardware = true;
    m_lastError.clear();
    return true;
}

bool WebH264Encoder::openCodec(const char *codecName, bool hardware, int width, int height, int fps, int bitrate)
{
    const AVCodec *codec = avcodec_find_encoder_by_name(codecName);
    if (!codec || width <= 0 || height <= 0)
        return false;
    auto session = std::make_unique<Session>();
    session->width = width;
    session->height = height;
    session->fps = qMax(1, fps);
    session->hardware = hardware;
    session->nv12.assign(size_t(width) * height * 3 / 2, 0);

    AVCodecContext *c = avcodec_alloc_context3(codec);
    session->context = c;
    c->width = width;
    c->height = height;
    c->time_base = AVRational{1, session->fps};
    c->framerate = AVRational{session->fps, 1};
    c->gop_size = 2 * session->fps;
    c->max_b_frames = 0;
    c->bit_rate = bitrate;
    c->rc_max_rate = bitrate;
    c->rc_min_rate = bitrate;
    c->rc_buffer_size = bitrate / 2;
    c->pix_fmt = AV_PIX_FMT_NV12;
    c->colorspace = AVCOL_SPC_BT709;
    c->color_primaries = AVCOL_PRI_BT709;
    c->color_trc = AVCOL_TRC_BT709;
    c->color_range = AVCOL_RANGE_MPEG;
    c->sample_aspect_ratio = AVRational{1, 1};
    c->profile = FF_PROFILE_H264_CONSTRAINED_BASELINE;
    c->flags |= AV_CODEC_FLAG_LOW_DELAY;

    if (std::strcmp(codecName, "libx264") == 0) {
        // The fastest preset: every millisecond of encoding is a millisecond of delay for the viewers,
        // and 2160p must keep up at the stream's rate on one encoder thread.
        av_opt_set(c->priv_data, "preset", "ultrafast", 0);
        av_opt_set(c->priv_data, "tune", "zerolatency", 0);
        av_opt_set(c->priv_data, "profile", "baseline", 0);
        av_opt_set_int(c->priv_data, "forced-idr", 1, 0);
        // Parameter sets in front of every IDR, so a viewer joining at a key frame can decode it.
        av_opt_set(c->priv_data, "x264-params", "repeat-headers=1", 0);
    } else if (std::strcmp(codecName, "h264_vaapi") == 0) {
        if (!setUpVaapi(c, &session->device))
            return false;
    } else {
        av_opt_set(c->priv_data, "zerolatency", "1", 0);
        av_opt_set(c->priv_data, "forced-idr", "1", 0);
        av_opt_set(c->priv_data, "forced_idr", "1", 0);
    }
    if (avcodec_open2(c, codec, nullptr) < 0)
        return false;

    session->frame = av_frame_alloc();
    session->packet = av_packet_alloc();
    session->frame->format = AV_PIX_FMT_NV12;
    session->frame->width = width;
    session->frame->height = height;
    if (!session->frame || !session->packet || av_frame_get_buffer(session->frame, 0) < 0)
        return false;
    if (c->hw_frames_ctx) {
        session->upload = av_frame_alloc();
        if (!session->upload)
            return false;
    }
    m_session = std::move(session);
    return true;
}

QByteArray WebH264Encoder::encode(const QImage &picture, qint64 timestampUs, bool keyframe, bool *isKeyframe)
{
    *isKeyframe = false;
    Session *s = m_session.get();
    if (!s || m_needsFallback || picture.width() != s->width || picture.height() != s->height)
        return {};

    convertToNv12(picture, s->nv12.data());
    AVFrame *frame = s->frame;
    if (av_frame_make_writable(frame) < 0)
        return {};
    const uint8_t *luma = s->nv12.data();
    const uint8_t *chroma = luma + size_t(s->width) * s->height;
    for (int y = 0; y < s->height; ++y)
        std::memcpy(frame->data[0] + size_t(y) * frame->linesize[0], luma + size_t(y) * s->width, s->width);
    for (int y = 0; y < s->height / 2; ++y)
        std::memcpy(frame->data[1] + size_t(y) * frame->linesize[1], chroma + size_t(y) * s->width, s->width);

    // Presentation times in frame periods, strictly increasing whatever the caller's clock does.
    s->lastPts = qMax(s->lastPts + 1, timestampUs * s->fps / 1000000);
    frame->pts = s->lastPts;
    frame->pict_type = keyframe ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;

    AVFrame *input = frame;
    if (s->upload) {
        av_frame_unref(s->upload);
        if (av_hwframe_get_buffer(s->context->hw_frames_ctx, s->upload, 0) < 0
            || av_hwframe_transfer_data(s->upload, frame, 0) < 0) {
            m_needsFallback = true;
            m_lastError = QStringLiteral("Hardware H.264 encoder stopped; using the software encoder");
            return {};
        }
        s->upload->pts = frame->pts;
        s->upload->pict_type = frame->pict_type;
        input = s->upload;
    }

    QByteArray out;
    bool key = false;
    const bool failed = avcodec_send_frame(s->context, input) < 0 || !receivePackets(out, &key);
    if (failed && s->hardware) {
        m_needsFallback = true;
        m_lastError = QStringLiteral("Hardware H.264 encoder stopped; using the software encoder");
        return {};
    }
    if (failed && out.isEmpty()) {
        m_lastError = QStringLiteral("H.264 encoder rejected a frame");
        return {};
    }

    key = key || containsNalUnit(out, 5);
    if (key && !containsNalUnit(out, 7) && s->context->extradata_size > 0)
        out.prepend(reinterpret_cast<const char *>(s->context->extradata), s->context->extradata_size);
    if (s->hardware && !s->profileChecked && containsNalUnit(out, 7)) {
        s->profileChecked = true;
        const int profile = spsProfile(out);
        if (profile != 66) {
            m_needsFallback = true;
            m_lastError = QStringLiteral("Hardware encoder produced H.264 profile %1; using the software encoder")
                              .arg(profile);
            return {};
        }
    }
    *isKeyframe = key;
    return out;
}

bool WebH264Encoder::receivePackets(QByteArray &out, bool *key)
{
    Session *s = m_session.get();
    for (;;) {
        const int result = avcodec_receive_packet(s->context, s->packet);
        if (result == AVERROR(EAGAIN) || result == AVERROR_EOF)
            return true;
        if (result < 0)
            return false;
        out.append(reinterpret_cast<const char *>(s->packet->data), s->packet->size);
        if (s->packet->flags & AV_PKT_FLAG_KEY)
            *key = true;
        av_packet_unref(s->packet);
    }
}

bool WebH264Encoder::containsNalUnit(const QByteArray &bytes, int type)
{
    const auto *p = reinterpret_cast<const uint8_t *>(bytes.constData());
    for (qsizetype i = 0; i + 3 < bytes.size(); ++i) {
        if (p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 1 && (p[i + 3] & 0x1F) == type)
            return true;
    }
    return false;
}

int WebH264Encoder::spsProfile(const QByteArray &bytes)
{
    const auto *p = reinterpret_cast<const uint8_t *>(bytes.constData());
    for (qsizetype i = 0; i + 5 <= bytes.size(); ++i) {
        if (p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 1 && (p[i + 3] & 0x1F) == 7)
            return p[i + 4];
    }
    return -1;
}
