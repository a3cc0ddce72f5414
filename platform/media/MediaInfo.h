#pragma once

#include <QMediaMetaData>
#include <QSize>
#include <QString>
#include <QVideoFrameFormat>

// What a player knows about an opened file; filled by the demuxer thread once, read-only afterwards.
struct MediaInfo
{
    qint64 durationUs = 0;
    qint64 startUs = 0;            // container start time; media time 0 is this timestamp
    qint64 videoStartUs = 0;       // media time of the video stream's first frame (after audio that leads)
    bool seekable = false;
    int videoStream = -1;          // stream indexes, -1 when absent
    int audioStream = -1;
    QSize resolution;              // coded size of the picture, before display rotation
    double frameRate = 0;
    int rotation = 0;              // clockwise degrees: 0, 90, 180, 270
    bool mirrored = false;
    QString colorTransfer;         // FFmpeg's name of the transfer characteristic
    QString videoCodecName;        // FFmpeg decoder names
    QString audioCodecName;
    QMediaMetaData metaData;
};
