#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <array>
#include <optional>

using PtpClockIdentity = std::array<quint8, 8>;
using PtpPortIdentity = std::array<quint8, 10>; // clock identity followed by the 16-bit port number

// One PTPv2 message of the End-to-End delay mechanism over UDP (IEEE 1588-2008 layout, big-endian).
// parse never reads past the given size and rejects anything it cannot represent faithfully, so the
// clock only ever sees messages whose fields are complete and whose timestamps fit its arithmetic.
class PtpMessage
{
public:
    enum Type : quint8 { Sync = 0, DelayReq = 1, FollowUp = 8, DelayResp = 9, Announce = 11 };

    static constexpr int HeaderSize = 34;
    static constexpr int TimestampMessageSize = 44; // Sync, Delay_Req, Follow_Up
    static constexpr int DelayRespSize = 54;
    static constexpr int AnnounceSize = 64;
    static constexpr quint16 TwoStepFlag = 0x0200;
    // Timestamps at or above 2^62 ns (year 2116) are refused: two of them plus corrections still fit
    // in a signed 64-bit nanosecond count, so no later sum can overflow.
    static constexpr qint64 MaxTimestampNs = qint64(1) << 62;

    quint8 messageType = 0;
    quint8 versionPtp = 2;
    quint16 messageLength = 0; // as read; encode writes the size of the type
    quint8 domainNumber = 0;
    quint16 flags = 0;
    qint64 correctionNs = 0; // upper 48 bits of correctionField, signed
    PtpPortIdentity sourcePortIdentity{};
    quint16 sequenceId = 0;
    quint8 controlField = 0;
    qint8 logMessageInterval = 0;

    // originTimestamp (Sync, Delay_Req, Announce), preciseOriginTimestamp (Follow_Up) or
    // receiveTimestamp (Delay_Resp), in nanoseconds.
    qint64 timestampNs = 0;
    PtpPortIdentity requestingPortIdentity{}; // Delay_Resp

    // Announce body
    qint16 currentUtcOffset = 0;
    quint8 priority1 = 0;
    quint8 clockClass = 0;
    quint8 clockAccuracy = 0;
    quint16 offsetScaledLogVariance = 0;
    quint8 priority2 = 0;
    PtpClockIdentity grandmasterIdentity{};
    quint16 stepsRemoved = 0;
    quint8 timeSource = 0;

    // The message in data[0..size), or nothing when it is short, not version 2, its messageLength
    // disagrees with the datagram, its type's body is incomplete or a timestamp is out of range.
    static std::optional<PtpMessage> parse(const char *data, qsizetype size);
    QByteArray encode() const;

    // Wire size of a message of this type; the bare header for types the clock does not use.
    static int sizeForType(quint8 type);
    bool twoStep() const { return flags & TwoStepFlag; }
    PtpClockIdentity sourceClockIdentity() const;

    bool operator==(const PtpMessage &other) const = default;
};

// 48-bit seconds and 32-bit nanoseconds of a nanosecond count (10 bytes at dst); negative counts
// are written as zero.
void writePtpTimestamp(uchar *dst, qint64 ns);
// Reads 10 bytes at src; false when the nanoseconds are 10^9 or more or the time is not below
// PtpMessage::MaxTimestampNs.
bool readPtpTimestamp(const uchar *src, qint64 *ns);
