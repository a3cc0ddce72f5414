// LinkNode: a follower's reception of the published show, one verified download at a time.
#include "link/LinkNode.h"

#include "link/LinkKeys.h"
#include "link/LinkMediaNames.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSaveFile>
#include <QStorageInfo>
#include <QUrl>

namespace {

constexpr double maxMediaBytes = 9007199254740992.0;
constexpr qint64 replyBufferBytes = 4 * 1024 * 1024;

bool isSha256Hex(const QString &text)
{
    if (text.size() != 64)
        return false;
    for (const QChar c : text) {
        if (!((c >= QLatin1Char('0') && c <= QLatin1Char('9')) || (c >= QLatin1Char('a') && c <= QLatin1Char('f'))))
            return false;
    }
    return true;
}

bool sidecarHolds(const QString &local, const QString &sha256)
{
    QFile sidecar(local + QStringLiteral(".sha256"));
    return sidecar.open(QIODevice::ReadOnly) && QString::fromLatin1(sidecar.read(256)).trimmed() == sha256;
}

} // namespace

QString LinkNode::receivedShowFolder() const
{
    if (receivedShow.isEmpty())
        return {};
    return dataDir + QStringLiteral("/link-media/")
        + LinkMediaNames::sanitizeShowName(receivedShow.value(QLatin1String("name")).toString());
}

QString LinkNode::receivedMediaPath(const QString &relative) const
{
    if (!receivedManifest.contains(relative))
        return {};
    return LinkMediaNames::resolve(receivedShowFolder(), relative);
}

qint64 LinkNode::freeSpace(const QString &folder) const
{
    if (freeSpaceProbe)
        return freeSpaceProbe(folder);
    const QStorageInfo storage(folder);
    return storage.isValid() ? storage.bytesAvailable() : -1;
}

void LinkNode::applyShow(const QJsonObject &message)
{
    if (!message.contains(QLatin1String("show")) || !message.contains(QLatin1String("media"))
        || message.value(QLatin1String("revision")).toInt() < 1)
        return;
    abortDownload();
    receivedShow = message;
    receivedRevision = message.value(QLatin1String("revision")).toInt();
    downloadQueue.clear();
    receivedManifest.clear();
    const QString showDir = receivedShowFolder();
    QDir().mkpath(showDir);
    const QJsonArray media = message.value(QLatin1String("media")).toArray();
    mediaTotal = int(media.size());
    mediaReady = 0;
    mediaFailed = 0;
    mediaRejected = 0;
    bytesToFetch = 0;
    bytesReceived = 0;
    const qint64 available = freeSpace(showDir);
    for (const QJsonValue &value : media) {
        const QJsonObject entry = value.toObject();
        const QString relative = entry.value(QLatin1String("relative")).toString();
        const QString sha256 = entry.value(QLatin1String("sha256")).toString();
        const double sizeValue = entry.value(QLatin1String("size")).toDouble(-1);
        const QString local = LinkMediaNames::resolve(showDir, relative);
        if (local.isEmpty() || !isSha256Hex(sha256) || !(sizeValue >= 0 && sizeValue <= maxMediaBytes)
            || receivedManifest.contains(relative)) {
            mediaRejected += 1;
            continue;
        }
        receivedManifest.insert(relative, sha256);
        const qint64 size = qint64(sizeValue);
        if (QFileInfo(local).size() == size && QFileInfo(local).isFile() && sidecarHolds(local, sha256)) {
            mediaReady += 1;
            continue;
        }
        if (available >= 0 && bytesToFetch + size + freeSpaceReserve > available) {
            mediaFailed += 1;
            lastError = QStringLiteral("Not enough free space for ") + relative;
            continue;
        }
        downloadQueue.append({relative, sha256, size});
        bytesToFetch += size;
    }
    showPending = true;
    sendStatus();
    emit changed();
    fetchNextMedia();
}

void LinkNode::fetchNextMedia()
{
    if (activeReply || !network)
        return;
    const QString showDir = receivedShowFolder();
    while (!downloadQueue.isEmpty()) {
        if (!welcomed || masterFilePort == 0)
            return;
        const LinkMediaJob job = downloadQueue.first();
        const QString local = LinkMediaNames::resolve(showDir, job.relative);
        QDir().mkpath(QFileInfo(local).absolutePath());
        partFile = new QFile(local + QStringLiteral(".part"));
        if (local.isEmpty() || !partFile->open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            delete partFile;
            partFile = nullptr;
            lastError = QStringLiteral("Cannot write ") + local;
            mediaFailed += 1;
            downloadQueue.removeFirst();
            emit changed();
            continue;
        }
        downloadHash = std::make_unique<QCryptographicHash>(QCryptographicHash::Sha256);
        downloadError.clear();
        QNetworkRequest request(QUrl(QStringLiteral("http://%1:%2/media/%3").arg(masterAddress).arg(masterFilePort).arg(job.sha256)));
        request.setRawHeader("X-Zelvo-Link-Proof", linkMac(key, "file|" + job.sha256.toLatin1()));
        request.setRawHeader("X-Zelvo-Link-Id", nodeId.toUtf8());
        // The file comes from the master or not at all: a redirect is a failed download.
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
        QNetworkReply *reply = network->get(request);
        reply->setReadBufferSize(replyBufferBytes);
        activeReply = reply;
        connect(reply, &QNetworkReply::readyRead, this, [this, job, reply] { receiveMediaBytes(job, reply); });
        connect(reply, &QNetworkReply::finished, this, [this, job, reply] { mediaDownloadFinished(job, reply); });
        return;
    }
    if (showPending && !receivedShow.isEmpty())
        writeReceivedShow();
}

void LinkNode::failDownload(const QString &text)
{
    downloadError = text;
    if (activeReply)
        activeReply->abort();
}

void LinkNode::receiveMediaBytes(const LinkMediaJob &job, QNetworkReply *reply)
{
    if (!partFile || !downloadError.isEmpty())
        return;
    const QByteArray data = reply->readAll();
    if (data.isEmpty())
        return;
    // Stop as soon as the master sends more than it announced: the rest is never written.
    if (partFile->size() + data.size() > job.size) {
        failDownload(QStringLiteral("Download failed or did not match: ") + job.relative);
        return;
    }
    if (partFile->write(data) != data.size()) {
        failDownload(QStringLiteral("Cannot write ") + partFile->fileName());
        return;
    }
    downloadHash->addData(data);
    bytesReceived += data.size();
    emit changed();
}

void LinkNode::mediaDownloadFinished(const LinkMediaJob &job, QNetworkReply *reply)
{
    reply->deleteLater();
    if (activeReply == reply)
        activeReply.clear();
    if (!partFile)
        return;  // cancelled: abortDownload cleaned up already
    receiveMediaBytes(job, reply);
    const QString partPath = partFile->fileName();
    const QString local = partPath.chopped(5);
    const bool flushed = partFile->flush();
    partFile->close();
    const bool good = flushed && downloadError.isEmpty() && reply->error() == QNetworkReply::NoError
        && reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 200
        && QString::fromLatin1(downloadHash->result().toHex()) == job.sha256 && QFileInfo(partPath).size() == job.size;
    delete partFile;
    partFile = nullptr;
    downloadHash.reset();
    bool stored = false;
    if (good) {
        QFile::remove(local);
        QSaveFile sidecar(local + QStringLiteral(".sha256"));
        stored = QFile::rename(partPath, local) && sidecar.open(QIODevice::WriteOnly)
            && sidecar.write(job.sha256.toLatin1()) == 64 && sidecar.commit();
    }
    if (stored) {
        mediaReady += 1;
        mediaFetched += 1;
    } else {
        QFile::remove(partPath);
        mediaFailed += 1;
        lastError = downloadError.isEmpty() ? QStringLiteral("Download failed or did not match: ") + job.relative
                                            : downloadError;
    }
    downloadError.clear();
    if (!downloadQueue.isEmpty() && downloadQueue.first().sha256 == job.sha256)
        downloadQueue.removeFirst();
    sendStatus();
    emit changed();
    fetchNextMedia();
}

void LinkNode::abortDownload(bool removePart)
{
    if (QNetworkReply *reply = activeReply) {
        activeReply.clear();
        reply->disconnect(this);
        reply->abort();
        reply->deleteLater();
    }
    if (partFile) {
        const QString partPath = partFile->fileName();
        delete partFile;
        partFile = nullptr;
        if (removePart)
            QFile::remove(partPath);
    }
    downloadHash.reset();
    downloadError.clear();
}

void LinkNode::writeReceivedShow()
{
    const QString showDir = receivedShowFolder();
    QDir().mkpath(showDir);
    const QString path = showDir + QLatin1Char('/')
        + LinkMediaNames::sanitizeShowName(receivedShow.value(QLatin1String("name")).toString())
        + QStringLiteral(".zelvoshow");
    const QByteArray text = QJsonDocument(receivedShow.value(QLatin1String("show")).toObject()).toJson(QJsonDocument::Indented);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit()) {
        lastError = QStringLiteral("Could not write the received show");
        emit changed();
        return;
    }
    showPending = false;
    receivedShowPath = path;
    sendStatus();
    emit changed();
    emit showReady(path, mediaTotal - mediaReady, mediaFailed);
}
