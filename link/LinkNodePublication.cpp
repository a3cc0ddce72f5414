// LinkNode: the master's publication of the show and its media.
#include "link/LinkNode.h"

#include "link/LinkMediaServer.h"
#include "link/LinkShowManifest.h"

#include <QFutureWatcher>
#include <QtConcurrent/QtConcurrentRun>

void LinkNode::publishShow(const Show &show, const QString &showName)
{
    if (mode != Master)
        return;
    preparing = true;
    emit changed();
    const int ticket = ++publicationsStarted;
    auto *watcher = new QFutureWatcher<LinkShowManifest::Result>(this);
    connect(watcher, &QFutureWatcher<LinkShowManifest::Result>::finished, this, [this, watcher] {
        const LinkShowManifest::Result result = watcher->result();
        watcher->deleteLater();
        filesHashed += result.hashedFiles;
        publishFinished(result.message, result.servedFiles, result.publishedFiles, result.hashCache, result.ticket);
    });
    watcher->setFuture(QtConcurrent::run(&LinkShowManifest::build, show, showName, hashCache, ticket));
}

void LinkNode::publishFinished(const QJsonObject &message, const QHash<QString, QString> &served,
                               const QHash<QString, QString> &published, const QHash<QString, QString> &cache,
                               int ticket)
{
    // The hashes are good whatever happens to the publication itself.
    for (auto it = cache.begin(); it != cache.end(); ++it)
        hashCache.insert(it.key(), it.value());
    if (ticket != publicationsStarted) {
        // A later publication is under way: this one is stale and must never go out after it.
        publicationsDropped += 1;
        emit changed();
        return;
    }
    preparing = false;
    if (mode == Master) {
        publishedShow = message;
        revision += 1;
        publishedShow.insert(QStringLiteral("revision"), revision);
        servedFiles = served;
        publishedFiles = published;
        if (fileServer)
            fileServer->servedFiles = servedFiles;
        for (const SessionPtr &session : std::as_const(sessions)) {
            if (session->authenticated)
                sendMessage(session, QStringLiteral("show"), publishedShow);
        }
        sendBeacon();
    }
    emit changed();
}
