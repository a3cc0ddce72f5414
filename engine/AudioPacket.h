#pragma once

#include <QByteArray>
#include <QMetaType>
#include <QtGlobal>

// A block of program audio: interleaved stereo 32-bit float samples at 48 kHz (8 bytes a frame,
// left first) and the program time of its first frame in microseconds
// (first frame index x 1000000 / 48000, integer division).
struct AudioPacket
{
    QByteArray data;
    qint64 timestampUs = 0;

    int frames() const { return int(data.size() / 8); }
};

Q_DECLARE_METATYPE(AudioPacket)
