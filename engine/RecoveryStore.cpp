#include "engine/RecoveryStore.h"

#include "engine/ShowFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

namespace {

const QString setAsidePrefix = QStringLiteral("discarded-");
const QString setAsideSuffix = QStringLiteral(".zelvoshow");

bool writeWhole(const QString &path, const QByteArray &bytes)
{
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit();
}

QJsonObject readMeta(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(file.readAll()).object();
}

} // namespace

RecoveryStore::RecoveryStore(const QString &stateDir)
    : m_stateDir(stateDir)
{
    m_leftover = exists();
}

QString RecoveryStore::dir() const
{
    return QDir(m_stateDir).filePath(QStringLiteral("recovery"));
}

QString RecoveryStore::metaPath() const
{
    return QDir(dir()).filePath(QStringLiteral("recovery.json"));
}

QString RecoveryStore::showPath() const
{
    return QDir(dir()).filePath(QStringLiteral("recovery.zelvoshow"));
}

bool RecoveryStore::exists() const
{
    return QFileInfo::exists(showPath());
}

bool RecoveryStore::write(const QByteArray &showBytes, const QString &originalPath,
                          const QString &version, const QDateTime &nowUtc)
{
    if (showBytes == m_lastBytes)
        return false;
    if (m_leftover)
        discard();
    QDir().mkpath(dir());
    if (!writeWhole(showPath(), showBytes))
        return false;
    const QJsonObject meta{
        {QStringLiteral("original_path"), originalPath},
        {QStringLiteral("saved_utc"), nowUtc.toUTC().toString(Qt::ISODate)},
        {QStringLiteral("version"), version},
    };
    writeWhole(metaPath(), QJsonDocument(meta).toJson(QJsonDocument::Indented));
    m_lastBytes = showBytes;
    return true;
}

void RecoveryStore::clear()
{
    if (m_leftover) {
        discard();
    } else {
        QFile::remove(showPath());
        QFile::remove(metaPath());
    }
    m_lastBytes.clear();
}

QString RecoveryStore::discard(const QDateTime &nowLocal)
{
    m_leftover = false;
    QString setAside;
    if (exists()) {
        const QDir folder(dir());
        const QString stamp = nowLocal.toString(QStringLiteral("yyyyMMdd-HHmmss"));
        // Two copies set aside within one second must not fail the second rename.
        QString name = setAsidePrefix + stamp + setAsideSuffix;
        for (int n = 2; folder.exists(name); ++n)
            name = setAsidePrefix + stamp + QStringLiteral("-%1").arg(n) + setAsideSuffix;
        if (QFile::rename(showPath(), folder.filePath(name)))
            setAside = folder.filePath(name);
    }
    QFile::remove(metaPath());

    QDir folder(dir());
    QStringList copies = folder.entryList({setAsidePrefix + QStringLiteral("*") + setAsideSuffix},
                                          QDir::Files, QDir::Name);
    while (copies.size() > keptSetAside)
        folder.remove(copies.takeFirst());
    return setAside;
}

QDateTime RecoveryStore::savedUtc() const
{
    const QString text = readMeta(metaPath()).value(QStringLiteral("saved_utc")).toString();
    return QDateTime::fromString(text, Qt::ISODate);
}

bool RecoveryStore::read(Copy &copy) const
{
    QFile file(showPath());
    if (!file.open(QIODevice::ReadOnly))
        return false;
    Show show;
    if (!readShowDocument(file.readAll(), show))
        return false;
    copy.show = show;
    copy.originalPath = readMeta(metaPath()).value(QStringLiteral("original_path")).toString();
    copy.savedUtc = savedUtc();
    return true;
}
