#pragma once

#include <QString>
#include <QtGlobal>

// One machine as the Link page lists it: on a master a signed-in session, on a follower or a
// control station a master heard by discovery. A plain value.
struct LinkPeer
{
    QString id;
    QString name;
    QString role;          // "master", "follower" or "control"
    QString version;
    QString address;       // IPv4 text
    QString show;          // name of the published show
    QString keyId;         // discovered masters only
    quint16 port = 0;      // discovered masters: the control port
    qint64 lastSeenMs = 0; // discovered masters: epoch ms of the last beacon
    qint64 offsetMs = 0;
    qint64 rttMs = 0;
    int mediaReady = 0;
    int mediaTotal = 0;
    double syncMs = -1;
    QString operatorName;  // control sessions
};
