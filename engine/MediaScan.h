#pragma once

#include <QFuture>
#include <QString>
#include <QStringList>

// The folder scan that adds every media file below a folder to the show: the whole tree (symbolic
// links to folders are not followed, hidden files and folders are skipped), kept by the 17 media
// suffixes compared in lower case, sorted without regard to case. It reads only the file system, so
// it runs on the global thread pool and the GUI thread takes the result from the future.

// mp4, mkv, mov, avi, webm, mxf, ts, m4v, mpg, mpeg, wmv, wav, mp3, flac, aiff, aac, ogg.
const QStringList &mediaSuffixes();

QStringList scanMediaFiles(const QString &folder);

// scanMediaFiles on the global thread pool.
QFuture<QStringList> startMediaScan(const QString &folder);
