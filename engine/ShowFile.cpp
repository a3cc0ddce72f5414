#include "engine/ShowFile.h"

#include "engine/ShowPaths.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

namespace {

const QString showSuffix = QStringLiteral(".zelvoshow");

void replaceBackup(const QString &path)
{
    if (!QFileInfo::exists(path))
        return;
    const QString backup = path + QStringLiteral(".bak");
    QFile::remove(backup);
    QFile::copy(path, backup);
}

} // namespace

QString withShowSuffix(const QString &path)
{
    return path.endsWith(showSuffix, Qt::CaseInsensitive) ? path : path + showSuffix;
}

QByteArray showDocumentBytes(const Show &show)
{
    return QJsonDocument(jsonFromShow(show)).toJson(QJsonDocument::Indented);
}

bool readShowDocument(const QByteArray &bytes, Show &show)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return false;
    return readShow(document.object(), show);
}

bool writeShowFile(const Show &show, const QString &path, QString *reason)
{
    replaceBackup(path);
    Show relative = show;
    makeShowPathsRelative(relative, path);
    const QByteArray bytes = showDocumentBytes(relative);

    QSaveFile file(path);
    bool written = file.open(QIODevice::WriteOnly);
    written = written && file.write(bytes) == bytes.size();
    written = written && file.commit();
    if (!written && reason)
        *reason = file.errorString();
    return written;
}

ShowFileRead readShowFile(const QString &path, Show &show)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return ShowFileRead::CannotOpen;
    Show read;
    if (!readShowDocument(file.readAll(), read))
        return ShowFileRead::Invalid;
    resolveShowPaths(read, path);
    show = read;
    return ShowFileRead::Ok;
}
