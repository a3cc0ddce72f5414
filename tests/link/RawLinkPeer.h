#pragma once

// One end of a Link control connection written by hand for the tests: it signs and reads lines
// with the same routines as the node, but lets a test replay, reorder, reflect or forge them, and
// records every raw line it received. It plays a client towards a real master (connectTo) or a
// master towards a real client (listen).

#include "link/LinkKeys.h"
#include "link/LinkLine.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QList>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <memory>

class RawLinkPeer
{
public:
    explicit RawLinkPeer(const QString &code, bool asMaster = false)
        : key(deriveLinkKey(code))
        , master(asMaster)
    {
    }

    QByteArray key;
    bool master;
    QByteArray masterNonce;
    QByteArray clientNonce;
    quint64 sendSeq = 0;
    QList<QByteArray> received;  // raw lines, without their line feeds
    QByteArray pending;
    std::unique_ptr<QTcpSocket> owned;
    QPointer<QTcpSocket> socket;
    QTcpServer server;

    bool connectTo(quint16 port)
    {
        owned = std::make_unique<QTcpSocket>();
        socket = owned.get();
        socket->connectToHost(QStringLiteral("127.0.0.1"), port);
        return socket->waitForConnected(3000);
    }

    // Master role: listens and, on a connection, sends "hello" with a fresh nonce.
    quint16 listen()
    {
        server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server, &QTcpServer::newConnection, &server, [this] {
            socket = server.nextPendingConnection();
            masterNonce = randomHexNonce();
            sendSigned(QStringLiteral("hello"), {{QStringLiteral("nonce"), QString::fromLatin1(masterNonce)},
                                                 {QStringLiteral("id"), QStringLiteral("fake-master-id")},
                                                 {QStringLiteral("name"), QStringLiteral("Fake")},
                                                 {QStringLiteral("version"), QStringLiteral("v0.1.0 (build 0001)")}});
        });
        return server.serverPort();
    }

    QByteArray sign(const QString &type, const QJsonObject &body, quint64 seq, bool toClient) const
    {
        LinkLine line;
        line.type = type;
        line.seq = seq;
        line.body = body;
        const QByteArray nonce2 = type == QLatin1String("hello") ? QByteArray() : clientNonce;
        line.mac = linkMac(key, LinkLine::signedText(masterNonce, nonce2, toClient ? LinkLine::ToClient : LinkLine::ToMaster,
                                                     seq, type, body));
        return line.encode();
    }

    QByteArray sendSigned(const QString &type, const QJsonObject &body)
    {
        const QByteArray bytes = sign(type, body, ++sendSeq, master);
        write(bytes);
        return bytes;
    }

    void write(const QByteArray &bytes)
    {
        if (socket) {
            socket->write(bytes);
            socket->flush();
        }
    }

    // Reads what has arrived into received; true once at least count lines are there.
    bool waitForLines(int count, int timeoutMs = 3000)
    {
        QElapsedTimer timer;
        timer.start();
        while (received.size() < count && timer.elapsed() < timeoutMs) {
            QTest::qWait(5);
            if (socket) {
                pending += socket->readAll();
                qsizetype end;
                while ((end = pending.indexOf('\n')) >= 0) {
                    received.append(pending.left(end));
                    pending.remove(0, end + 1);
                }
            }
        }
        return received.size() >= count;
    }

    LinkLine line(int index) const { return LinkLine::parse(received.value(index)); }

    // Client role: reads "hello" and answers with a correctly signed "auth".
    bool signIn(const QJsonObject &extra = {})
    {
        if (!waitForLines(1))
            return false;
        masterNonce = line(0).body.value(QLatin1String("nonce")).toString().toLatin1();
        clientNonce = randomHexNonce();
        QJsonObject auth{{QStringLiteral("id"), QStringLiteral("raw-client")},
                         {QStringLiteral("name"), QStringLiteral("Raw")},
                         {QStringLiteral("version"), QStringLiteral("test")},
                         {QStringLiteral("cnonce"), QString::fromLatin1(clientNonce)}};
        for (auto it = extra.begin(); it != extra.end(); ++it)
            auth.insert(it.key(), it.value());
        sendSigned(QStringLiteral("auth"), auth);
        return waitForLines(2) && line(1).type == QLatin1String("welcome");
    }

    bool closedWithin(int timeoutMs)
    {
        QElapsedTimer timer;
        timer.start();
        while (socket && socket->state() != QAbstractSocket::UnconnectedState && timer.elapsed() < timeoutMs)
            QTest::qWait(5);
        return !socket || socket->state() == QAbstractSocket::UnconnectedState;
    }
};
