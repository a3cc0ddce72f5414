#pragma once

#include <QHash>
#include <QString>
#include <QStringList>

// Names of shows and media on both ends of Link. The master gives every published file a unique
// name "media/<file name>"; the follower accepts such a name only when it is one plain file name
// under "media/" and, joined onto the show folder, still lies inside that folder. Names come off
// the network, so everything here refuses rather than repairs. Pure functions.
class LinkMediaNames
{
public:
    // Trimmed; \ / : * ? " < > | become "_"; empty or dots only gives "Show"; at most 80 characters.
    static QString sanitizeShowName(const QString &name);

    // path -> "media/" + unique name, for the paths that name existing regular files, in order.
    // Names are unique ignoring letter case; a repeat gets " (n)" before its suffix.
    static QHash<QString, QString> uniqueRelativeNames(const QStringList &paths, QStringList *order = nullptr);

    // True for "media/" + one file name that is not empty, not dots only, and holds no separator,
    // colon or control character.
    static bool isSafeRelative(const QString &relative);

    // The absolute path of relative under showDir, or empty when relative is not safe or the
    // resolved path leaves showDir.
    static QString resolve(const QString &showDir, const QString &relative);
};
