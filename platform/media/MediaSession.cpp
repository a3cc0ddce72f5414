#include "platform/media/MediaSession.h"

#include "platform/media/AudioDecodeWorker.h"
#include "platform/media/MediaInfoReader.h"
#include "platform/media/VideoDecodeWorker.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <thread>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace {
QString errorText(int code)
{
    char buffer[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, buffer, sizeof(buffer));
    return QString::fromUtf8(buffer);
}

// FFmpeg's name of a stream's codec, or its four-character tag when FFmpeg does not know it.
QString codecNameOf(const AVCodecParameters *par)
{
    if (par->codec_id != AV_CODEC_ID_NONE || par->codec_tag == 0)
        return QString::fromLatin1(avcodec_get_name(par->codec_id));
    char tag[AV_FOURCC_MAX_STRING_SIZE] = {};
    return QString::fromLatin1(av_fourcc_make_string(tag, par->codec_tag)).trimmed();
}

int pickVideoStream(AVFormatContext *format)
{
    int best = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (best >= 0 && !(format->streams[best]->disposition & AV_DISPOSITION_ATTACHED_PIC))
        return best;
    // The best one is cover art: take any other moving picture.
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        const AVStream *stream = format->streams[i];
        if (stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO
            && !(stream->disposition & AV_DISPOSITION_ATTACHED_PIC))
            return int(i);
    }
    return -1;
}
}

MediaSession::MediaSession(const QString &location, std::function<void()> wakeOwner)
    : m_location(location), m_pipeline(std::move(wakeOwner))
{
    m_thread = std::thread([this] { run(); });
}

MediaSession::~MediaSession()
{
    {
        std::lock_guard lock(m_pipeline.mutex);
        m_pipeline.quit = true;
        m_pipeline.changed.notify_all();
    }
    if (m_thread.joinable())
        m_thread.join();
    m_video.reset();
    m_audio.reset();
    {
        std::lock_guard lock(m_pipeline.mutex);
        m_pipeline.clearQueues();
    }
    avcodec_free_context(&m_videoCodec);
    avcodec_free_context(&m_audioCodec);
    avformat_close_input(&m_format);
}

void MediaSession::seek(qint64 targetUs, int loop)
{
    std::lock_guard lock(m_pipeline.mutex);
    m_pipeline.command(true, targetUs, loop);
}

void MediaSession::halt()
{
    std::lock_guard lock(m_pipeline.mutex);
    m_pipeline.command(false, 0, 0);
}

void MediaSession::setLoops(int loops)
{
    std::lock_guard lock(m_pipeline.mutex);
    m_pipeline.loops = loops;
    m_pipeline.changed.notify_all();
}

int MediaSession::interrupted(void *opaque)
{
    return static_cast<MediaSession *>(opaque)->m_pipeline.quit ? 1 : 0;
}

void MediaSession::run()
{
    if (!open())
        return;
    startDecoders();
    demux();
}

bool MediaSession::fail(QMediaPlayer::Error error, const QString &text)
{
    {
        std::lock_guard lock(m_pipeline.mutex);
        m_pipeline.openState = MediaPipeline::OpenState::Failed;
        m_pipeline.error = error;
        m_pipeline.errorText = text;
    }
    m_pipeline.wakeOwner();
    return false;
}

bool MediaSession::open()
{
    m_format = avformat_alloc_context();
    if (!m_format)
        return fail(QMediaPlayer::ResourceError, QStringLiteral("Could not open media: out of memory"));
    m_format->interrupt_callback = {&MediaSession::interrupted, this};
    const QByteArray url = m_location.toUtf8();
    int rc = avformat_open_input(&m_format, url.constData(), nullptr, nullptr);
    if (rc < 0) {
        const auto error = rc == AVERROR(EACCES) ? QMediaPlayer::AccessDeniedError
                           : rc == AVERROR(ENOENT) ? QMediaPlayer::ResourceError
                                                   : QMediaPlayer::FormatError;
        return fail(error, QStringLiteral("Could not open media: ") + errorText(rc));
    }
    rc = avformat_find_stream_info(m_format, nullptr);
    if (rc < 0)
        return fail(QMediaPlayer::FormatError, QStringLiteral("Could not read media streams: ") + errorText(rc));
    int video = pickVideoStream(m_format);
    int audio = av_find_best_stream(m_format, AVMEDIA_TYPE_AUDIO, -1, video, nullptr, 0);
    if (video < 0 && audio < 0)
        return fail(QMediaPlayer::FormatError, QStringLiteral("No audio or video stream"));
    m_videoCodec = video >= 0 ? openDecoder(video) : nullptr;
    m_audioCodec = audio >= 0 ? openDecoder(audio) : nullptr;
    // A picture that cannot be decoded is refused even when the sound could play: a Program would
    // otherwise go black without a word. (Cover art never gets here: it is no video stream to play.)
    if ((video >= 0 && !m_videoCodec) || (!m_videoCodec && !m_audioCodec))
        return fail(QMediaPlayer::FormatError, QStringLiteral("Unsupported codec: ") + codecName(video >= 0 ? video : audio));
    video = m_videoCodec ? video : -1;
    audio = m_audioCodec ? audio : -1;
    for (unsigned i = 0; i < m_format->nb_streams; ++i) {
        if (int(i) != video && int(i) != audio)
            m_format->streams[i]->discard = AVDISCARD_ALL;
    }
    const MediaInfo info = MediaInfoReader::read(m_format, video, audio);
    {
        std::lock_guard lock(m_pipeline.mutex);
        m_pipeline.info = info;
    }
    return true;
}

int MediaSession::videoDecoderThreads(int width, int height, double frameRate)
{
    // One core decodes about 190 1080p H.264 frames a second (400 Mpx/s), HEVC somewhat fewer: size
    // for real time with several times that in hand, not one thread per core for every player (each
    // frame thread holds pictures of its own, and a deck has two players).
    constexpr double PixelsPerThread = 100e6;
    const double pixelRate = double(std::max(width, 1)) * std::max(height, 1) * std::clamp(frameRate, 1.0, 240.0);
    const int cores = int(std::max(1u, std::thread::hardware_concurrency()));
    return std::clamp(int(std::ceil(pixelRate / PixelsPerThread)), 1, cores);
}

QString MediaSession::codecName(int streamIndex) const
{
    return codecNameOf(m_format->streams[streamIndex]->codecpar);
}

AVCodecContext *MediaSession::openDecoder(int streamIndex)
{
    const AVStream *stream = m_format->streams[streamIndex];
    const AVCodec *decoder = avcodec_find_decoder(stream->codecpar->codec_id);
    if (!decoder)
        return nullptr;
    AVCodecContext *codec = avcodec_alloc_context3(decoder);
    if (!codec || avcodec_parameters_to_context(codec, stream->codecpar) < 0) {
        avcodec_free_context(&codec);
        return nullptr;
    }
    codec->pkt_timebase = stream->time_base;
    if (stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
        const AVRational rate = av_guess_frame_rate(m_format, const_cast<AVStream *>(stream), nullptr);
        codec->thread_count = videoDecoderThreads(stream->codecpar->width, stream->codecpar->height,
                                                  rate.num > 0 && rate.den > 0 ? av_q2d(rate) : 25.0);
        codec->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
    }
    if (avcodec_open2(codec, decoder, nullptr) < 0)
        avcodec_free_context(&codec);
    return codec;
}

void MediaSession::startDecoders()
{
    const MediaInfo &info = m_pipeline.info;
    if (m_videoCodec) {
        m_video = std::make_unique<VideoDecodeWorker>(m_pipeline, m_videoCodec,
                                                      m_format->streams[info.videoStream]->time_base,
                                                      info.startUs, info.frameRate, info.rotation, info.mirrored);
        m_videoCodec = nullptr;
    }
    if (m_audioCodec) {
        m_audio = std::make_unique<AudioDecodeWorker>(m_pipeline, m_audioCodec,
                                                      m_format->streams[info.audioStream]->time_base, info.startUs);
        m_audioCodec = nullptr;
    }
    {
        std::lock_guard lock(m_pipeline.mutex);
        m_pipeline.openState = MediaPipeline::OpenState::Opened;
    }
    m_pipeline.wakeOwner();
}

void MediaSession::demux()
{
    AVPacket *packet = av_packet_alloc();
    int serial = 0;
    int loop = 0;
    int packetsThisPass = 0;
    bool atEnd = true;  // nothing to read before the first command
    std::unique_lock lock(m_pipeline.mutex);
    for (;;) {
        m_pipeline.changed.wait(lock, [&] {
            return m_pipeline.quit
                   || (m_pipeline.active && (m_pipeline.serial != serial || (!atEnd && m_pipeline.wantsPackets())));
        });
        if (m_pipeline.quit)
            break;
        if (m_pipeline.serial != serial) {
            serial = m_pipeline.serial;
            loop = m_pipeline.startLoop;
            const qint64 target = m_pipeline.targetUs - m_pipeline.seekBackUs;
            lock.unlock();
            const bool sought = seekFile(target);
            lock.lock();
            // Without a working seek, show what comes rather than dropping the whole file.
            if (!sought && serial == m_pipeline.serial)
                m_pipeline.targetUs = std::numeric_limits<qint64>::min() / 2;
            atEnd = false;
            packetsThisPass = 0;
            continue;
        }
        lock.unlock();
        const int rc = av_read_frame(m_format, packet);
        m_readAny = true;
        lock.lock();
        if (serial != m_pipeline.serial || rc == AVERROR(EAGAIN)) {
            av_packet_unref(packet);
            continue;
        }
        if (rc >= 0) {
            ++packetsThisPass;
            queuePacket(packet, serial, loop);
            continue;
        }
        // End of the file (or a read error): this pass ends; go round again while loops remain.
        const int loops = m_pipeline.loops;
        const bool more = packetsThisPass > 0 && (loops < 0 || loop + 1 < loops);
        queueEnd(serial, loop, more);
        if (!more) {
            atEnd = true;
            continue;
        }
        ++loop;
        packetsThisPass = 0;
        lock.unlock();
        seekFile(0);
        lock.lock();
    }
    lock.unlock();
    av_packet_free(&packet);
}

bool MediaSession::seekFile(qint64 targetUs)
{
    if (!m_readAny && targetUs <= 0)
        return true;  // still at the start: nothing to seek (works for unseekable input too)
    const int index = m_pipeline.info.videoStream >= 0 ? m_pipeline.info.videoStream : m_pipeline.info.audioStream;
    const AVStream *stream = m_format->streams[index];
    const qint64 fileUs = targetUs + m_pipeline.info.startUs;
    const int64_t ts = av_rescale_q(fileUs, AV_TIME_BASE_Q, stream->time_base);
    if (av_seek_frame(m_format, index, ts, AVSEEK_FLAG_BACKWARD) >= 0)
        return true;
    // Before the first key frame, or a demuxer without per-stream seeking.
    return avformat_seek_file(m_format, -1, std::numeric_limits<int64_t>::min(), fileUs, fileUs, 0) >= 0;
}

void MediaSession::queuePacket(AVPacket *packet, int serial, int loop)
{
    const int index = packet->stream_index;
    const bool video = index == m_pipeline.info.videoStream;
    if (!video && index != m_pipeline.info.audioStream) {
        av_packet_unref(packet);
        return;
    }
    const qint64 durationUs = av_rescale_q(packet->duration, m_format->streams[index]->time_base, AV_TIME_BASE_Q);
    PacketQueue::Entry entry;
    entry.packet = av_packet_alloc();
    av_packet_move_ref(entry.packet, packet);
    entry.serial = serial;
    entry.loop = loop;
    (video ? m_pipeline.videoPackets : m_pipeline.audioPackets).push(entry, durationUs);
    m_pipeline.changed.notify_all();
}

void MediaSession::queueEnd(int serial, int loop, bool more)
{
    PacketQueue::Entry entry;
    entry.serial = serial;
    entry.loop = loop;
    entry.more = more;
    if (m_pipeline.info.videoStream >= 0)
        m_pipeline.videoPackets.push(entry, 0);
    if (m_pipeline.info.audioStream >= 0)
        m_pipeline.audioPackets.push(entry, 0);
    m_pipeline.changed.notify_all();
}
