#include "app/PreferenceTable.h"

#include <QRegularExpression>
#include <QSettings>

#include <algorithm>
#include <cmath>

namespace {

using Kind = PreferenceTable::Kind;

PreferenceTable::Entry number(const char *key, Kind kind, double absent, double minimum, double maximum)
{
    const QVariant value = kind == Kind::Int ? QVariant(int(absent)) : QVariant(absent);
    return {QString::fromLatin1(key), kind, value, minimum, maximum, {}};
}

PreferenceTable::Entry choice(const char *key, const QStringList &choices)
{
    return {QString::fromLatin1(key), Kind::Choice, choices.first(), 0, 0, choices};
}

PreferenceTable::Entry plain(const char *key, Kind kind, const QVariant &absent)
{
    return {QString::fromLatin1(key), kind, absent, 0, 0, {}};
}

// "<key>" stands for a Program key (letters and digits), "%1" for a number.
QRegularExpression patternOf(const QString &key)
{
    static const QRegularExpression placeholder(QStringLiteral("<key>|%1"));
    QString pattern;
    qsizetype from = 0;
    for (const QRegularExpressionMatch &match : placeholder.globalMatch(key)) {
        pattern += QRegularExpression::escape(key.mid(from, match.capturedStart() - from));
        pattern += match.captured() == QLatin1String("%1") ? QStringLiteral("[0-9]+") : QStringLiteral("[A-Za-z0-9]+");
        from = match.capturedEnd();
    }
    pattern += QRegularExpression::escape(key.mid(from));
    return QRegularExpression(QRegularExpression::anchoredPattern(pattern));
}

} // namespace

const QList<PreferenceTable::Entry> &PreferenceTable::entries()
{
    static const QList<Entry> table = {
        choice("language", {QStringLiteral("en"), QStringLiteral("pt-BR")}),
        choice("decode", {QStringLiteral("auto"), QStringLiteral("cpu")}),
        {QStringLiteral("projectFps"), Kind::Double, 0.0, 0, 60,
         {QStringLiteral("0"), QStringLiteral("23.976"), QStringLiteral("24"), QStringLiteral("25"),
          QStringLiteral("29.97"), QStringLiteral("30"), QStringLiteral("50"), QStringLiteral("59.94"),
          QStringLiteral("60")}},
        number("manualFadeMs", Kind::Int, 300, 1, 10000),
        number("nextProgramId", Kind::Int, 2, 2, 1000001),
        choice("outputScaler%1", {QStringLiteral("native"), QStringLiteral("lanczos"), QStringLiteral("gpu")}),
        number("outputArea%1", Kind::Int, 0, 0, 12),
        plain("outputRegion%1", Kind::Text, QStringLiteral("0,0,100,100")),
        number("localAudio/backend", Kind::Int, 0, 0, 4),
        number("localAudio/buffer", Kind::Int, 0, 0, 512),
        plain("localAudio/device", Kind::Text, QString()),
        plain("localAudio/sync", Kind::Bool, true),
        number("localAudio/offsetMs", Kind::Int, 0, -200, 500),
        plain("localAudio/autoStart", Kind::Bool, false),
        plain("localAudio/aes67/name", Kind::Text, QStringLiteral("Zelvo Playout")),
        plain("localAudio/aes67/multicast", Kind::Text, QString()),
        number("localAudio/aes67/channels", Kind::Int, 8, 1, 64),
        number("localAudio/aes67/latencyMs", Kind::Int, 2, 1, 1000),
        number("localAudio/pair/<key>", Kind::Int, 0, 0, 31),
        plain("audioPreview/local", Kind::Bool, false),
        number("audio<key>/volume", Kind::Int, 100, 0, 100),
        plain("audio<key>/mute", Kind::Bool, false),
        plain("audio<key>/local", Kind::Bool, true),
        plain("audio<key>/device", Kind::Bytes, QByteArray()),
        plain("network<key>/name", Kind::Text, QString()),
        plain("network<key>/audio", Kind::Bool, true),
        plain("webMonitorCode", Kind::Text, QString()),
        plain("webMonitorLan", Kind::Bool, true),
        number("webMonitorPort", Kind::Int, 8787, 1, 65535),
        number("webMonitorQuality", Kind::Int, 0, 0, 3),
        plain("link/name", Kind::Text, QString()),
        number("link/role", Kind::Int, 0, 0, 2),
        plain("link/code", Kind::Text, QString()),
        plain("link/masterAddress", Kind::Text, QString()),
        plain("link/operator", Kind::Text, QString()),
        plain("link/operators", Kind::Text, QString()),
        plain("link/mirror", Kind::Bool, false),
        plain("link/sync", Kind::Bool, false),
        plain("deckWindows/preview/geometry", Kind::Bytes, QByteArray()),
        plain("deckWindows/program%1/geometry", Kind::Bytes, QByteArray()),
    };
    return table;
}

const PreferenceTable::Entry *PreferenceTable::find(const QString &key)
{
    for (const Entry &entry : entries()) {
        if (entry.key == key)
            return &entry;
    }
    for (const Entry &entry : entries()) {
        if ((entry.key.contains(QLatin1String("<key>")) || entry.key.contains(QLatin1String("%1")))
            && patternOf(entry.key).match(key).hasMatch())
            return &entry;
    }
    return nullptr;
}

QVariant PreferenceTable::clamp(const Entry &entry, const QVariant &value)
{
    switch (entry.kind) {
    case Kind::Int: {
        bool ok = false;
        const double number = value.toDouble(&ok);
        if (!ok || !std::isfinite(number))
            return entry.absent;
        return int(std::clamp(std::round(number), entry.minimum, entry.maximum));
    }
    case Kind::Double: {
        bool ok = false;
        const double number = value.toDouble(&ok);
        if (!ok || !std::isfinite(number))
            return entry.absent;
        // A rate outside the list reads as automatic rather than as its nearest neighbour.
        for (const QString &allowed : entry.choices)
            if (std::abs(allowed.toDouble() - number) < 0.0005)
                return allowed.toDouble();
        return entry.choices.isEmpty() ? std::clamp(number, entry.minimum, entry.maximum) : entry.absent.toDouble();
    }
    case Kind::Choice:
        return entry.choices.contains(value.toString()) ? value.toString() : entry.absent;
    case Kind::Bool: {
        const QString text = value.toString().toLower();
        if (value.typeId() == QMetaType::Bool || text == QLatin1String("true") || text == QLatin1String("false"))
            return value.toBool();
        return entry.absent;
    }
    case Kind::Bytes:
        return value.toByteArray();
    case Kind::Text:
        return value.toString();
    }
    return value;
}

QVariant PreferenceTable::read(const QSettings &settings, const QString &key)
{
    const Entry *entry = find(key);
    if (!entry)
        return settings.value(key);
    return clamp(*entry, settings.value(key, entry->absent));
}

bool PreferenceTable::write(QSettings &settings, const QString &key, const QVariant &value, bool sampleContent)
{
    if (sampleContent)
        return false;
    const Entry *entry = find(key);
    settings.setValue(key, entry && entry->kind != Kind::Text ? clamp(*entry, value) : value);
    return true;
}
