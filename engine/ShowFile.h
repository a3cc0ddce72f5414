#pragma once

#include "engine/Show.h"

#include <QByteArray>
#include <QString>

// A show on disk: the ".zelvoshow" file with one ".bak" generation of the previous file, written
// atomically through QSaveFile so that a failed save (an unwritable folder, a full disk) leaves the
// previous file as it was. Media paths inside the show folder are stored relative to it
// (ShowPaths). Synchronous; used on the GUI thread, where files are small.

enum class ShowFileRead { Ok, CannotOpen, Invalid };

// path with ".zelvoshow" appended unless it already ends so (in any letter case).
QString withShowSuffix(const QString &path);

// The show document as indented UTF-8 JSON, paths exactly as the show holds them.
QByteArray showDocumentBytes(const Show &show);

// Parses bytes as a show document (schemas 1-4, all or nothing); show is untouched on failure.
bool readShowDocument(const QByteArray &bytes, Show &show);

// Copies an existing file at path to path + ".bak" (replacing the old backup; failures there do
// not stop the save), then writes the show with its paths made relative. On failure returns false,
// the file at path is untouched and reason (when given) says why.
bool writeShowFile(const Show &show, const QString &path, QString *reason = nullptr);

// Reads a show file and resolves its relative paths against the file's folder. show is untouched
// unless the result is Ok.
ShowFileRead readShowFile(const QString &path, Show &show);
