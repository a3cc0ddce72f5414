#pragma once

#include "engine/ShowProgram.h"

#include <QFuture>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

// Relinking media that moved: every file below one folder is indexed by its lower-case name, and
// each missing path takes the candidate with that name whose trailing folder names match its own
// the longest way. When the best match is shared, the path stays missing rather than being
// guessed. The walk gives up after 500000 entries, so pointing at a whole drive ends. The search
// reads only the file system and runs on the global thread pool; the rewrite runs on the GUI
// thread with the result.

constexpr int relinkEntryLimit = 500000;

// Missing path (as the show holds it) -> the cleaned path of the file found for it.
QHash<QString, QString> matchMissingMedia(const QStringList &missing, const QString &folder,
                                          int entryLimit = relinkEntryLimit);

// matchMissingMedia on the global thread pool.
QFuture<QHash<QString, QString>> startMediaMatch(const QStringList &missing, const QString &folder);

// Number of equal trailing path components of two paths, compared in lower case (the file name
// counts too); used to rank candidates.
int tailScore(const QString &missing, const QString &candidate);

// Replaces every library entry and every Cue source of every Program that is a key of map by its
// value, then removes exact duplicates from the library. Returns how many paths were replaced.
int applyRelinkMap(QStringList &library, QList<ShowProgram> &programs,
                   const QHash<QString, QString> &map);
