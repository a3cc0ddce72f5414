#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <optional>

// A Session Announcement Protocol datagram (RFC 2974).
class SapPacket
{
public:
    static constexpr int Port = 9875;
    static constexpr quint8 Version1 = 0x20;
    static constexpr quint8 AddressTypeIpv6 = 0x10;
    static constexpr quint8 DeletionFlag = 0x04;
    static constexpr quint8 EncryptedFlag = 0x02;
    static constexpr quint8 CompressedFlag = 0x01;

    bool deletion = false;
    quint16 messageIdHash = 0;
    QByteArray origin;      // 4 or 16 bytes, network order
    QByteArray payloadType; // empty when the packet carried none
    QByteArray payload;

    // The packet in data[0..size), or nothing when it is not version 1, is shorter than its
    // header, origin and authentication data, is encrypted or compressed (its payload cannot be
    // read), or has a payload type without its terminating zero byte. Reads nothing past size.
    static std::optional<SapPacket> parse(const char *data, qsizetype size);
};

// The message identifier hash of one version of a session's announcement: receivers cache an
// announcement by origin and hash, so the hash changes with every new session version (and is never
// zero, which older receivers take for "no hash"). The low 16 bits of sessionId + 2 x version: odd,
// as sessionId always is, and different for 32768 versions in a row.
quint16 sapMessageIdHash(quint32 sessionId, int version);

// An announcement (or deletion) of `sdp` from `interfaceAddress` (0.0.0.0 when that is not an IPv4
// address), with payload type "application/sdp" and no authentication data.
QByteArray buildSapPacket(bool deletion, quint16 messageIdHash, const QString &interfaceAddress, const QByteArray &sdp);
