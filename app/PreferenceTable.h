#pragma once

#include <QString>
#include <QStringList>
#include <QVariant>

class QSettings;

// The one table of preferences.ini keys the pages and panels use: each key's type, the value
// read when it is absent and its range (numbers) or its allowed texts (choices). Reads go through
// read(), which always passes the default and clamps what it finds, so a hand-edited or damaged
// file can never push a control or an engine setting out of range. Writes go through write(),
// which leaves the file alone in sample content mode. Keys with a Program key ("<key>") or a
// route index ("%1") are matched by pattern. Stateless; used on the GUI thread.
class PreferenceTable
{
public:
    enum class Kind { Text, Choice, Int, Double, Bool, Bytes };

    struct Entry
    {
        QString key; // may hold "<key>" (a Program key) or "%1" (a route index or Program id)
        Kind kind;
        QVariant absent;
        double minimum = 0;
        double maximum = 0;
        QStringList choices; // Choice: the allowed texts; Double: empty, or the allowed values
    };

    static const QList<Entry> &entries();
    // The entry whose key or key pattern matches, or nullptr for a key outside the table.
    static const Entry *find(const QString &key);
    // The stored value with the table's default, clamped into range; a choice outside its list
    // reads as the default. Keys outside the table read as stored (an invalid QVariant when absent).
    static QVariant read(const QSettings &settings, const QString &key);
    // Stores value unless sampleContent; numbers are clamped first. True when written.
    static bool write(QSettings &settings, const QString &key, const QVariant &value, bool sampleContent);
    static QVariant clamp(const Entry &entry, const QVariant &value);
};
