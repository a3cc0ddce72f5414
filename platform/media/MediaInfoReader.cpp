#include "platform/media/MediaInfoReader.h"

#include <QDateTime>
#include <QFileInfo>
#include <algorithm>
#include <cmath>
#include <cstring>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libavutil/pixdesc.h>
}

MediaInfo MediaInfoReader::read(const AVFormatContext *format, int videoStream, int audioStream)
{
    MediaInfo info;
    info.videoStream = videoStream;
    info.audioStream = audioStream;
    info.startUs = format->start_time != AV_NOPTS_VALUE ? format->start_time : 0;
    if (format->duration != AV_NOPTS_VALUE && format->duration > 0)
        info.durationUs = format->duration;
    info.seekable = info.durationUs > 0 && format->pb && (format->pb->seekable & AVIO_SEEKABLE_NORMAL);

    QMediaMetaData &meta = info.metaData;
    readTags(format, meta);
    meta.insert(QMediaMetaData::Duration, info.durationUs / 1000);
    meta.insert(QMediaMetaData::FileFormat, QVariant::fromValue(fileFormat(format)));
    if (videoStream >= 0) {
        AVStream *stream = format->streams[videoStream];
        const AVCodecParameters *par = stream->codecpar;
        info.resolution = QSize(par->width, par->height);
        if (stream->start_time != AV_NOPTS_VALUE)
            info.videoStartUs = std::max<qint64>(0, av_rescale_q(stream->start_time, stream->time_base, AV_TIME_BASE_Q)
                                                        - info.startUs);
        const AVRational rate = av_guess_frame_rate(const_cast<AVFormatContext *>(format), stream, nullptr);
        info.frameRate = rate.num > 0 && rate.den > 0 ? av_q2d(rate) : 0;
        info.rotation = rotation(stream, &info.mirrored);
        if (par->color_trc != AVCOL_TRC_UNSPECIFIED)
            info.colorTransfer = QString::fromLatin1(av_color_transfer_name(par->color_trc));
        info.videoCodecName = QString::fromLatin1(avcodec_get_name(par->codec_id));
        meta.insert(QMediaMetaData::Resolution, info.resolution);
        if (info.frameRate > 0)
            meta.insert(QMediaMetaData::VideoFrameRate, info.frameRate);
        meta.insert(QMediaMetaData::VideoCodec, QVariant::fromValue(videoCodec(par->codec_id)));
        meta.insert(QMediaMetaData::Orientation, info.rotation);
        if (par->bit_rate > 0)
            meta.insert(QMediaMetaData::VideoBitRate, int(par->bit_rate));
    }
    if (audioStream >= 0) {
        const AVCodecParameters *par = format->streams[audioStream]->codecpar;
        info.audioCodecName = QString::fromLatin1(avcodec_get_name(par->codec_id));
        meta.insert(QMediaMetaData::AudioCodec, QVariant::fromValue(audioCodec(par->codec_id)));
        if (par->bit_rate > 0)
            meta.insert(QMediaMetaData::AudioBitRate, int(par->bit_rate));
    }
    return info;
}

int MediaInfoReader::rotation(const AVStream *stream, bool *mirrored)
{
    *mirrored = false;
    size_t size = 0;
    const uint8_t *data = av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
    if (!data || size < 9 * sizeof(int32_t))
        return 0;
    int32_t matrix[9];
    std::memcpy(matrix, data, sizeof(matrix));
    // A negative determinant is a horizontal flip; undo it to read the rotation that remains.
    if (double(matrix[0]) * matrix[4] - double(matrix[1]) * matrix[3] < 0) {
        *mirrored = true;
        for (int i = 0; i < 9; i += 3)
            matrix[i] = -matrix[i];
    }
    const double counterClockwise = av_display_rotation_get(matrix);
    if (std::isnan(counterClockwise))
        return 0;
    const long quarterTurns = std::lround(-counterClockwise / 90.0);
    return int(((quarterTurns % 4) + 4) % 4) * 90;
}

QMediaFormat::VideoCodec MediaInfoReader::videoCodec(int codecId)
{
    using C = QMediaFormat::VideoCodec;
    switch (codecId) {
    case AV_CODEC_ID_MPEG1VIDEO: return C::MPEG1;
    case AV_CODEC_ID_MPEG2VIDEO: return C::MPEG2;
    case AV_CODEC_ID_MPEG4: return C::MPEG4;
    case AV_CODEC_ID_H264: return C::H264;
    case AV_CODEC_ID_HEVC: return C::H265;
    case AV_CODEC_ID_VP8: return C::VP8;
    case AV_CODEC_ID_VP9: return C::VP9;
    case AV_CODEC_ID_AV1: return C::AV1;
    case AV_CODEC_ID_THEORA: return C::Theora;
    case AV_CODEC_ID_WMV3:
    case AV_CODEC_ID_VC1: return C::WMV;
    case AV_CODEC_ID_MJPEG: return C::MotionJPEG;
    default: return C::Unspecified;
    }
}

QMediaFormat::AudioCodec MediaInfoReader::audioCodec(int codecId)
{
    using C = QMediaFormat::AudioCodec;
    if (codecId >= AV_CODEC_ID_FIRST_AUDIO && codecId < AV_CODEC_ID_ADPCM_IMA_QT)
        return C::Wave;  // the PCM family
    switch (codecId) {
    case AV_CODEC_ID_MP3: return C::MP3;
    case AV_CODEC_ID_AAC: return C::AAC;
    case AV_CODEC_ID_AC3: return C::AC3;
    case AV_CODEC_ID_EAC3: return C::EAC3;
    case AV_CODEC_ID_FLAC: return C::FLAC;
    case AV_CODEC_ID_TRUEHD: return C::DolbyTrueHD;
    case AV_CODEC_ID_OPUS: return C::Opus;
    case AV_CODEC_ID_VORBIS: return C::Vorbis;
    case AV_CODEC_ID_WMAV1:
    case AV_CODEC_ID_WMAV2:
    case AV_CODEC_ID_WMAPRO: return C::WMA;
    case AV_CODEC_ID_ALAC: return C::ALAC;
    default: return C::Unspecified;
    }
}

QMediaFormat::FileFormat MediaInfoReader::fileFormat(const AVFormatContext *format)
{
    using F = QMediaFormat::FileFormat;
    const QString name = QString::fromLatin1(format->iformat->name);
    const QString suffix = QFileInfo(QString::fromUtf8(format->url)).suffix().toLower();
    if (name.startsWith(QLatin1String("mov")))
        return suffix == QLatin1String("mov") ? F::QuickTime : suffix == QLatin1String("m4a") ? F::Mpeg4Audio : F::MPEG4;
    if (name.startsWith(QLatin1String("matroska")))
        return suffix == QLatin1String("webm") ? F::WebM : F::Matroska;
    if (name == QLatin1String("avi"))
        return F::AVI;
    if (name == QLatin1String("wav"))
        return F::Wave;
    if (name == QLatin1String("mp3"))
        return F::MP3;
    if (name == QLatin1String("ogg"))
        return F::Ogg;
    if (name == QLatin1String("flac"))
        return F::FLAC;
    if (name == QLatin1String("aac"))
        return F::AAC;
    if (name == QLatin1String("asf"))
        return suffix == QLatin1String("wma") ? F::WMA : F::WMV;
    return F::UnspecifiedFormat;
}

void MediaInfoReader::readTags(const AVFormatContext *format, QMediaMetaData &metaData)
{
    static const struct { const char *tag; QMediaMetaData::Key key; } table[] = {
        {"title", QMediaMetaData::Title},
        {"comment", QMediaMetaData::Comment},
        {"description", QMediaMetaData::Description},
        {"artist", QMediaMetaData::ContributingArtist},
        {"album_artist", QMediaMetaData::AlbumArtist},
        {"album", QMediaMetaData::AlbumTitle},
        {"genre", QMediaMetaData::Genre},
        {"copyright", QMediaMetaData::Copyright},
        {"publisher", QMediaMetaData::Publisher},
    };
    for (const auto &entry : table) {
        if (const AVDictionaryEntry *tag = av_dict_get(format->metadata, entry.tag, nullptr, 0))
            metaData.insert(entry.key, QString::fromUtf8(tag->value));
    }
    if (const AVDictionaryEntry *tag = av_dict_get(format->metadata, "creation_time", nullptr, 0)) {
        const QDateTime date = QDateTime::fromString(QString::fromUtf8(tag->value), Qt::ISODateWithMs);
        if (date.isValid())
            metaData.insert(QMediaMetaData::Date, date);
    }
}
