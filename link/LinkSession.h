#pragma once

#include <QByteArray>
#include <QPointer>
#include <QString>
#include <QTcpSocket>

// One control connection, on the master one per accepted socket and on a client the one to its
// master. A plain record the node fills and reads on the GUI thread; held by shared pointer so
// that the node's deferred closes keep it alive after it leaves the session list.
struct LinkSession
{
    QPointer<QTcpSocket> socket;
    QByteArray nonce;        // the master's, 32 hex digits
    QByteArray clientNonce;  // the client's, from "auth"
    QByteArray buffer;       // bytes of a line not yet complete
    QString id;
    QString name;
    QString version;
    QString address;
    bool authenticated = false;
    quint64 sendSeq = 0;
    quint64 lastSeq = 0;
    qint64 offsetMs = 0;
    qint64 rttMs = 0;
    int mediaReady = 0;
    int mediaTotal = 0;
    double syncMs = -1;
    QString role = QStringLiteral("follower");
    QString operatorName;    // as the operator record spells it
    QString operatorKeyId;   // key id of the operator key at sign-in
};
