#pragma once

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>

class QFile;
class QTcpServer;
class QTcpSocket;

// The master's media server: one route, GET /media/<sha256>, answered with the file's bytes when
// the request proves the Link code (a MAC over "file|" + the hash) and the hash belongs to the
// current publication. Runs on the GUI thread; a file is read in 1 MiB chunks as the socket drains,
// with at most 4 MiB queued per connection, so a slow follower never fills memory. A connection that
// has not started receiving a file is aborted after 30 s, a head above 16 KiB at once.
class LinkMediaServer : public QObject
{
    Q_OBJECT

public:
    static constexpr qint64 queueLimit = 4 * 1024 * 1024;
    static constexpr qint64 chunkBytes = 1024 * 1024;
    static constexpr int idleTimeoutMs = 30000;

    explicit LinkMediaServer(QObject *parent = nullptr);

    bool listen(quint16 port);
    QString errorString() const;
    quint16 port() const;

    // Session key and the table SHA-256 hex -> source path of what may be served.
    QByteArray key;
    QHash<QString, QString> servedFiles;

private:
    void acceptFileConnection();
    void serveMediaRequest(QTcpSocket *socket);
    void pumpMediaFile(QTcpSocket *socket, QFile *file);
    void sendHttpStatus(QTcpSocket *socket, const QByteArray &status);

    QTcpServer *m_server;
};
