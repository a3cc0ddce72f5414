#include "link/LinkShowManifest.h"

#include "link/LinkMediaNames.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>

namespace {

void rewrite(QList<Cue> &playlist, const QHash<QString, QString> &names)
{
    for (Cue &cue : playlist)
        cue.source = names.value(cue.source, cue.source);
}

} // namespace

QStringList LinkShowManifest::mediaPaths(const Show &show)
{
    QStringList paths = show.library;
    for (const ShowProgram &program : show.effectivePrograms()) {
        for (const Cue &cue : program.playlist)
            paths.append(cue.source);
    }
    paths.removeAll(QString());
    paths.removeDuplicates();
    return paths;
}

QString LinkShowManifest::hashFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QCryptographicHash hash(QCryptographicHash::Sha256);
    // Read until a read returns nothing rather than trusting the size: some files report 0 bytes
    // and still fail (or succeed) when read.
    for (;;) {
        const QByteArray block = file.read(blockBytes);
        if (file.error() != QFileDevice::NoError)
            return {};
        if (block.isEmpty())
            break;
        hash.addData(block);
    }
    return QString::fromLatin1(hash.result().toHex());
}

LinkShowManifest::Result LinkShowManifest::build(Show show, const QString &showName, QHash<QString, QString> hashCache,
                                                 int ticket)
{
    Result result;
    result.ticket = ticket;
    QStringList order;
    const QHash<QString, QString> names = LinkMediaNames::uniqueRelativeNames(mediaPaths(show), &order);
    QJsonArray media;
    for (const QString &path : order) {
        const QFileInfo info(path);
        const QString cacheKey = path + QLatin1Char('|') + QString::number(info.size()) + QLatin1Char('|')
            + QString::number(info.lastModified().toMSecsSinceEpoch());
        QString sha = hashCache.value(cacheKey);
        if (sha.isEmpty()) {
            sha = hashFile(path);
            result.hashedFiles += 1;
            if (sha.isEmpty())
                continue;
            hashCache.insert(cacheKey, sha);
        }
        const QString relative = names.value(path);
        result.publishedFiles.insert(path, relative);
        result.servedFiles.insert(sha, path);
        media.append(QJsonObject{{QStringLiteral("relative"), relative},
                                 {QStringLiteral("size"), double(info.size())},
                                 {QStringLiteral("sha256"), sha}});
    }
    show.programs = show.effectivePrograms();
    for (QString &path : show.library)
        path = result.publishedFiles.value(path, path);
    rewrite(show.playlist, result.publishedFiles);
    for (ShowProgram &program : show.programs)
        rewrite(program.playlist, result.publishedFiles);
    result.message = QJsonObject{{QStringLiteral("name"), LinkMediaNames::sanitizeShowName(showName)},
                                 {QStringLiteral("show"), jsonFromShow(show)},
                                 {QStringLiteral("media"), media}};
    result.hashCache = hashCache;
    return result;
}
