#pragma once

#include "engine/Show.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

// The automatic recovery copy of the open show in the state folder's "recovery" folder:
// recovery.zelvoshow (the show document with absolute paths) and recovery.json (where the show came
// from and when the copy was taken). A declined or unusable copy is set aside as
// "discarded-<local stamp>.zelvoshow"; only the five newest set-aside copies are kept.
//
// A copy found at start belongs to a run that ended without saving. Until the window has settled it
// (restored, declined, or set aside), neither a new copy nor a clear may destroy it: the first write
// or clear sets it aside instead, so a run started with a show never overwrites the crashed run's
// work without a question. The last written bytes are remembered so that an unchanged show is not
// written again. GUI thread; the files are small and written synchronously.
class RecoveryStore
{
public:
    static constexpr int keptSetAside = 5;

    struct Copy
    {
        Show show;
        QString originalPath;   // empty for an untitled show or without readable metadata
        QDateTime savedUtc;     // invalid without readable metadata
    };

    explicit RecoveryStore(const QString &stateDir);

    QString dir() const;
    QString metaPath() const;
    QString showPath() const;

    // A copy left by an earlier run that was not yet offered, restored or set aside.
    bool hasLeftover() const { return m_leftover; }
    // The window asked about the leftover copy (it will restore or discard it next).
    void settleLeftover() { m_leftover = false; }

    // Writes showBytes and the metadata, unless showBytes equal the last bytes written. True when
    // a new copy was written. A failed show write leaves the previous copy as it was.
    bool write(const QByteArray &showBytes, const QString &originalPath, const QString &version,
               const QDateTime &nowUtc = QDateTime::currentDateTimeUtc());

    // Removes both files and forgets the remembered bytes (a leftover is set aside instead).
    void clear();
    // Forgets the remembered bytes, so that the next write writes even an unchanged show.
    void forget() { m_lastBytes.clear(); }

    // Sets recovery.zelvoshow aside under the local stamp of now, removes recovery.json and prunes
    // the set-aside copies to the five newest. Returns the set-aside path (empty when nothing was
    // set aside).
    QString discard(const QDateTime &nowLocal = QDateTime::currentDateTime());

    bool exists() const;
    // The time recorded in recovery.json, invalid when the file is missing or broken.
    QDateTime savedUtc() const;
    // Reads the copy (paths stay as written) and its metadata; false when the show cannot be read.
    bool read(Copy &copy) const;

private:
    QString m_stateDir;
    QByteArray m_lastBytes;
    bool m_leftover = false;
};
