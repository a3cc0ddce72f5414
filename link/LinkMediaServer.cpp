#include "link/LinkMediaServer.h"

#include "link/LinkKeys.h"
#include "link/LinkMediaRequest.h"

#include <QFile>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

LinkMediaServer::LinkMediaServer(QObject *parent)
    : QObject(parent)
    , m_server(new QTcpServer(this))
{
    connect(m_server, &QTcpServer::newConnection, this, &LinkMediaServer::acceptFileConnection);
}

bool LinkMediaServer::listen(quint16 port)
{
    return m_server->listen(QHostAddress::AnyIPv4, port);
}

QString LinkMediaServer::errorString() const
{
    return m_server->errorString();
}

quint16 LinkMediaServer::port() const
{
    return m_server->isListening() ? m_server->serverPort() : 0;
}

void LinkMediaServer::acceptFileConnection()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        QPointer<QTcpSocket> guard(socket);
        QTimer::singleShot(idleTimeoutMs, socket, [guard] {
            if (guard && !guard->property("serving").toBool())
                guard->abort();
        });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { serveMediaRequest(socket); });
    }
}

void LinkMediaServer::serveMediaRequest(QTcpSocket *socket)
{
    if (socket->property("serving").toBool()) {
        socket->readAll();
        return;
    }
    const QByteArray head = socket->property("head").toByteArray() + socket->readAll();
    LinkMediaRequest request;
    const LinkMediaRequest::Status status = LinkMediaRequest::parse(head, &request);
    if (status == LinkMediaRequest::TooLarge) {
        socket->abort();
        return;
    }
    if (status == LinkMediaRequest::Incomplete) {
        socket->setProperty("head", head);
        return;
    }
    socket->setProperty("head", QVariant());
    if (request.method != "GET" || !request.path.startsWith("/media/")) {
        sendHttpStatus(socket, "404 Not Found");
        return;
    }
    const QByteArray sha = request.path.mid(7);
    const QString source = servedFiles.value(QString::fromLatin1(sha));
    if (!linkMacEquals(request.proof, linkMac(key, "file|" + sha)) || source.isEmpty()) {
        sendHttpStatus(socket, "403 Forbidden");
        return;
    }
    auto *file = new QFile(source, socket);
    if (!file->open(QIODevice::ReadOnly)) {
        sendHttpStatus(socket, "404 Not Found");
        return;
    }
    socket->setProperty("serving", true);
    socket->write("HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: "
                  + QByteArray::number(file->size()) + "\r\nConnection: close\r\n\r\n");
    connect(socket, &QTcpSocket::bytesWritten, file, [this, socket, file] { pumpMediaFile(socket, file); });
    pumpMediaFile(socket, file);
}

void LinkMediaServer::pumpMediaFile(QTcpSocket *socket, QFile *file)
{
    while (socket->bytesToWrite() < queueLimit && !file->atEnd()) {
        const QByteArray chunk = file->read(chunkBytes);
        if (chunk.isEmpty()) {
            // A read error mid-file: the follower sees a short body and rejects it.
            socket->abort();
            return;
        }
        socket->write(chunk);
    }
    if (file->atEnd() && socket->bytesToWrite() == 0)
        socket->disconnectFromHost();
}

void LinkMediaServer::sendHttpStatus(QTcpSocket *socket, const QByteArray &status)
{
    socket->write("HTTP/1.1 " + status + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    socket->disconnectFromHost();
}
