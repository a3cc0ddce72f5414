#pragma once

#include "engine/Show.h"

#include <QHash>
#include <QJsonObject>
#include <QString>
#include <QStringList>

// Turns an open show into what a Link master publishes: the show document with each published
// media path replaced by its name under "media/", and the manifest of those files with their sizes
// and SHA-256 hashes. build() runs on the global thread pool and touches nothing but its arguments;
// a path is rewritten only when its file was hashed, so the document never names a file the
// manifest lacks. The hash cache (path|size|mtime -> hash) spares unchanged files a second read.
class LinkShowManifest
{
public:
    struct Result
    {
        QJsonObject message;                  // {"name", "show", "media": [{relative, size, sha256}]}
        QHash<QString, QString> servedFiles;  // sha256 -> source path
        QHash<QString, QString> publishedFiles; // source path -> relative name
        QHash<QString, QString> hashCache;
        int ticket = 0;
        int hashedFiles = 0;                  // files read for their hash (cache misses)
    };

    static constexpr qint64 blockBytes = 4 * 1024 * 1024;

    // The media paths of a show in publication order: library, then every cue of the effective
    // Programs; without duplicates or empty texts.
    static QStringList mediaPaths(const Show &show);

    static Result build(Show show, const QString &showName, QHash<QString, QString> hashCache, int ticket);

    // Lower-case hex SHA-256 of a file read in 4 MiB blocks; empty when it cannot be read.
    static QString hashFile(const QString &path);
};
