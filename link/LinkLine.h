#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

// One signed line of the Link control connection: the compact JSON object
// {"body":{...},"mac":"...","seq":n,"type":"..."} followed by a line feed. A plain value with the
// parser and the writer of that form, and the text the MAC covers. The parser takes bytes off the
// network: it never fails loudly, it returns an empty line (type empty, seq 0) for anything that
// is not a JSON object, and a sequence number that is not a whole number from 1 to 2^53 reads as 0.
//
// The signed text carries both session nonces and the direction of travel, so a line recorded in
// one session, or sent back to the machine that wrote it, never verifies.
struct LinkLine
{
    enum Direction { ToClient, ToMaster };

    QString type;
    quint64 seq = 0;
    QJsonObject body;
    QByteArray mac;

    static LinkLine parse(const QByteArray &line);

    // The compact line with its line feed.
    QByteArray encode() const;

    // masterNonce|clientNonce|direction|seq|type|compact body; clientNonce is empty for "hello",
    // which the master writes before it knows the client's.
    static QByteArray signedText(const QByteArray &masterNonce, const QByteArray &clientNonce, Direction direction,
                                 quint64 seq, const QString &type, const QJsonObject &body);

    // True for 32 lower-case hex digits, the form of every nonce on the wire.
    static bool isNonce(const QByteArray &text);
};
