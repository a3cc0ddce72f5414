#include "engine/MediaScan.h"

#include <QDirIterator>
#include <QFileInfo>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>

const QStringList &mediaSuffixes()
{
    static const QStringList suffixes{
        QStringLiteral("mp4"), QStringLiteral("mkv"), QStringLiteral("mov"), QStringLiteral("avi"),
        QStringLiteral("webm"), QStringLiteral("mxf"), QStringLiteral("ts"), QStringLiteral("m4v"),
        QStringLiteral("mpg"), QStringLiteral("mpeg"), QStringLiteral("wmv"), QStringLiteral("wav"),
        QStringLiteral("mp3"), QStringLiteral("flac"), QStringLiteral("aiff"), QStringLiteral("aac"),
        QStringLiteral("ogg")};
    return suffixes;
}

QStringList scanMediaFiles(const QString &folder)
{
    QStringList found;
    QDirIterator it(folder, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (mediaSuffixes().contains(it.fileInfo().suffix().toLower()))
            found.append(path);
    }
    // Without regard to case, and the exact text after that, so equal names in two cases keep one
    // order from run to run.
    std::sort(found.begin(), found.end(), [](const QString &a, const QString &b) {
        const int folded = QString::compare(a, b, Qt::CaseInsensitive);
        return folded != 0 ? folded < 0 : a < b;
    });
    return found;
}

QFuture<QStringList> startMediaScan(const QString &folder)
{
    return QtConcurrent::run(QThreadPool::globalInstance(), scanMediaFiles, folder);
}
