#include "engine/ShowProgram.h"

#include "engine/ShowJsonNumber.h"

#include <QJsonArray>

namespace {

constexpr int maxProgramId = 1000000;
constexpr int maxNameLength = 120;

bool readName(const QJsonValue &value, QString &name)
{
    if (!value.isString())
        return false;
    const QString text = value.toString();
    if (text.size() > maxNameLength || text.trimmed().isEmpty())
        return false;
    name = text;
    return true;
}

} // namespace

bool readPlaylist(const QJsonValue &value, QList<Cue> &playlist, bool pathOnly)
{
    if (!value.isArray())
        return false;
    const QJsonArray rows = value.toArray();
    QList<Cue> cues;
    cues.reserve(rows.size());
    for (const QJsonValue &row : rows) {
        Cue cue;
        if (!readCue(row, cue, pathOnly))
            return false;
        cues.append(cue);
    }
    playlist = cues;
    return true;
}

QJsonObject jsonFromProgram(const ShowProgram &program)
{
    QJsonArray playlist;
    for (const Cue &cue : program.playlist)
        playlist.append(jsonFromCue(cue));
    return QJsonObject{
        {QStringLiteral("id"), program.id},
        {QStringLiteral("name"), program.name},
        {QStringLiteral("playlist"), playlist},
    };
}

bool readProgram(const QJsonValue &value, ShowProgram &program)
{
    if (!value.isObject())
        return false;
    const QJsonObject object = value.toObject();
    ShowProgram read;
    if (!readWholeNumber(object.value(QStringLiteral("id")), 1, maxProgramId, read.id)
        || !readName(object.value(QStringLiteral("name")), read.name)
        || !readPlaylist(object.value(QStringLiteral("playlist")), read.playlist, false))
        return false;
    program = read;
    return true;
}
