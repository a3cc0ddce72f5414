#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QMap>
#include <QString>

// One parsed request of the web monitor's HTTP server, as the reader hands it to the router.
struct HttpRequest
{
    QByteArray method;                // as sent
    QByteArray path;                  // the target up to the first "?"
    QMap<QString, QString> query;     // percent-decoded items; for a repeated key the last wins
    QByteArray body;                  // exactly Content-Length bytes
    QHostAddress peer;                // the connection's source address
};
