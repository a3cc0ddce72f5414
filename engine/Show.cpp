#include "engine/Show.h"

#include "engine/ShowJsonNumber.h"

#include <QJsonArray>
#include <QSet>

namespace {

constexpr int currentSchema = 4;
constexpr int lettersInProgramNames = 26;

QString effectiveProgramName(int index)
{
    const QString part = index < lettersInProgramNames ? QString(QChar(u'A' + index))
                                                       : QString::number(index + 1);
    return QStringLiteral("Program %1").arg(part);
}

bool readStrings(const QJsonArray &array, QStringList &strings)
{
    QStringList read;
    read.reserve(array.size());
    for (const QJsonValue &value : array) {
        if (!value.isString())
            return false;
        read.append(value.toString());
    }
    strings = read;
    return true;
}

// Schema 4: one Program object per counted Program, ids unique, the first one 1.
bool readPrograms(const QJsonValue &value, int expectedCount, QList<ShowProgram> &programs)
{
    if (!value.isArray())
        return false;
    const QJsonArray array = value.toArray();
    if (array.size() != expectedCount)
        return false;
    QList<ShowProgram> read;
    read.reserve(array.size());
    QSet<int> ids;
    for (const QJsonValue &element : array) {
        ShowProgram program;
        if (!readProgram(element, program) || ids.contains(program.id))
            return false;
        ids.insert(program.id);
        read.append(program);
    }
    if (read.isEmpty() || read.first().id != 1)
        return false;
    programs = read;
    return true;
}

} // namespace

QList<ShowProgram> Show::effectivePrograms() const
{
    if (!programs.isEmpty())
        return programs;
    QList<ShowProgram> result;
    for (int i = 0; i < outputs.programs; ++i)
        result.append(ShowProgram{i + 1, effectiveProgramName(i), playlist});
    return result;
}

QJsonObject jsonFromShow(const Show &show)
{
    QJsonArray programs;
    for (const ShowProgram &program : show.effectivePrograms())
        programs.append(jsonFromProgram(program));
    return QJsonObject{
        {QStringLiteral("schema"), currentSchema},
        {QStringLiteral("library"), QJsonArray::fromStringList(show.library)},
        {QStringLiteral("folders"), QJsonArray::fromStringList(show.folders)},
        {QStringLiteral("programs"), programs},
        {QStringLiteral("outputs"), jsonFromOutputs(show.outputs)},
    };
}

bool readShow(const QJsonObject &object, Show &show)
{
    int schema = 0;
    if (!readWholeNumber(object.value(QStringLiteral("schema")), 1, currentSchema, schema))
        return false;
    const QJsonValue library = object.value(QStringLiteral("library"));
    const QJsonValue folders = object.value(QStringLiteral("folders"));
    if (!library.isArray() || !folders.isArray())
        return false;

    Show read;
    if (schema >= 3 && !readOutputs(object.value(QStringLiteral("outputs")), read.outputs))
        return false;
    if (!readStrings(library.toArray(), read.library) || !readStrings(folders.toArray(), read.folders))
        return false;

    if (schema == currentSchema) {
        if (!readPrograms(object.value(QStringLiteral("programs")), read.outputs.programs, read.programs))
            return false;
        read.playlist = read.programs.first().playlist;
    } else {
        if (!readPlaylist(object.value(QStringLiteral("playlist")), read.playlist, schema == 1))
            return false;
        // The whole migration: every counted Program gets its own copy of the one playlist, and
        // the next save writes schema 4.
        read.programs = read.effectivePrograms();
    }
    show = read;
    return true;
}
