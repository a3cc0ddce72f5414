#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <QtGlobal>

// One playlist item: a media file, the stretch of it that plays, and how it enters Program.
// A plain value type; validation never throws, it only returns a message.
struct Cue
{
    QString source;          // absolute media path in memory
    qint64 in_ms = 0;        // where playback starts
    qint64 out_ms = -1;      // where it ends; -1 plays to the end of the media
    int transition = 0;      // 0 cut, 1 dissolve, 2 fade through black
    int transition_ms = 300;
    int enter_ms = 0;
    int exit_ms = 0;

    static Cue forPath(const QString &path);

    // Empty when valid, else the first failing rule's message. durationMs <= 0 means the media's
    // duration is not known, which skips the duration rule.
    QString validate(qint64 durationMs = 0) const;

    bool operator==(const Cue &other) const = default;
};

QJsonObject jsonFromCue(const Cue &cue);

// Fills cue from a JSON value and returns true, or returns false (cue is then not to be relied on).
// pathOnly reads the plain path strings of the oldest show files.
bool readCue(const QJsonValue &value, Cue &cue, bool pathOnly);
