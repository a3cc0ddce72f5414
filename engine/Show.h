#pragma once

#include "engine/Cue.h"
#include "engine/OutputConfig.h"
#include "engine/ShowProgram.h"

#include <QJsonObject>
#include <QList>
#include <QStringList>

// Everything prepared for one event: the media library, the scanned folders, the Programs with
// their playlists and the output layout. A plain value; the document form is schema 4.
struct Show
{
    QStringList library;            // media paths in order, duplicates included
    QStringList folders;            // folders the operator added
    QList<Cue> playlist;            // the first Program's playlist (the only one in old documents)
    OutputConfig outputs;
    QList<ShowProgram> programs;    // may be empty in memory, never after a successful read

    // The Programs this show stands for: programs when it has any, else one Program per counted
    // output Program ("Program A".."Program Z", then "Program 27", ...), each with its own copy
    // of playlist.
    QList<ShowProgram> effectivePrograms() const;

    bool operator==(const Show &other) const = default;
};

// The whole document, schema 4.
QJsonObject jsonFromShow(const Show &show);

// Reads a document of schema 1 to 4, all or nothing: returns true and replaces every field of
// show, or returns false and leaves show untouched.
bool readShow(const QJsonObject &object, Show &show);
