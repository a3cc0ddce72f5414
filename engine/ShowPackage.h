#pragma once

#include "engine/Show.h"

#include <QHash>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <atomic>

// Show packages: a folder that carries a show to another machine. It holds N.zelvoshow and, in
// "media", one copy of every media file the show uses; the show refers to the copies as
// "media/<name>", which the reader resolves against the show file's folder wherever the package is
// moved. Names are made unique by exact name: on these file systems Clip.MP4 and clip.mp4 are two
// files and keep their own names.
//
// planPackage runs on the GUI thread; copyPackageMedia is the worker body run on a pool thread
// (see PackageExport). The worker reads only its own copy of the plan and talks to the GUI thread
// through an atomic byte counter and an atomic cancel flag.

struct PackagePlan
{
    QString showFile;                           // T/N.zelvoshow
    QList<QPair<QString, QString>> copies;      // (source, destination) in media order
    QStringList missing;                        // media that were not regular files when planned
    qint64 totalBytes = 0;                      // sum of the sources' sizes
    QHash<QString, QString> relativePaths;      // source -> "media/" + unique name
};

struct PackageResult
{
    int copied = 0;          // media copied completely
    QStringList failed;      // sources whose copy failed (open, read, write or size check)
    bool cancelled = false;  // the copy stopped early on request
};

constexpr qint64 packageChunkBytes = 4 * 1024 * 1024;
constexpr qint64 packageSpaceMargin = 50000000;

PackagePlan planPackage(const QStringList &mediaPaths, const QString &target, const QString &name);

// Copies every planned file through "<destination>.part" in 4 MiB chunks, adding each chunk to
// copiedBytes and polling cancel before each chunk. A failed or cancelled copy leaves no ".part"
// behind. A destination that turns out to be a file this run already wrote (a volume that ignores
// letter case) fails rather than replacing it. Either pointer may be null.
PackageResult copyPackageMedia(const PackagePlan &plan, std::atomic<qint64> *copiedBytes,
                               const std::atomic<bool> *cancel);

// True when the volume of folder has room for totalBytes plus the 50 MB margin, or when its free
// space cannot be told.
bool packageFits(const QString &folder, qint64 totalBytes);

// QDir(parent).filePath(name), or with " (2)", " (3)", ... appended until no such entry exists.
QString freePackageFolder(const QString &parent, const QString &name);

// Media paths of show that were copied (not in failed) become their "media/..." form; missing
// files, failed copies and the folders list stay as they were.
void rewritePackagePaths(Show &show, const PackagePlan &plan, const QStringList &failed);
