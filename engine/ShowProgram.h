#pragma once

#include "engine/Cue.h"

#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QString>

// One Program of a show: its stable identity, its display name and its playlist.
struct ShowProgram
{
    int id = 1;           // 1..1000000, unique within a show; the first Program is always 1
    QString name;         // at most 120 UTF-16 code units, not blank once trimmed; kept untrimmed
    QList<Cue> playlist;  // in row order

    bool operator==(const ShowProgram &other) const = default;
};

QJsonObject jsonFromProgram(const ShowProgram &program);

// Reads a JSON array of Cues in row order (pathOnly: the plain path strings of the oldest show
// files). Fills playlist and returns true, or returns false and leaves it untouched.
bool readPlaylist(const QJsonValue &value, QList<Cue> &playlist, bool pathOnly);

// Reads one Program object: id, name and playlist each within their bounds. Whether the id is
// unique is the show's concern. Fills program and returns true, or returns false and leaves it
// untouched.
bool readProgram(const QJsonValue &value, ShowProgram &program);
