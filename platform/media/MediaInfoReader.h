#pragma once

#include "platform/media/MediaInfo.h"

#include <QMediaFormat>

struct AVFormatContext;
struct AVStream;

// Reads what a player reports about an opened file (duration, seekability, picture size, frame rate,
// display rotation, colour transfer, codecs and container tags) into a MediaInfo.
class MediaInfoReader
{
public:
    static MediaInfo read(const AVFormatContext *format, int videoStream, int audioStream);

    static QMediaFormat::VideoCodec videoCodec(int codecId);
    static QMediaFormat::AudioCodec audioCodec(int codecId);
    // Clockwise display rotation (0, 90, 180, 270) and mirroring from a stream's display matrix.
    static int rotation(const AVStream *stream, bool *mirrored);

private:
    static QMediaFormat::FileFormat fileFormat(const AVFormatContext *format);
    static void readTags(const AVFormatContext *format, QMediaMetaData &metaData);
};
