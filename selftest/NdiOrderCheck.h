#pragma once

#include <QByteArray>
#include <QtGlobal>

// The rules by which a receiver of the NDI output accepts each received picture: source sequence
// numbers and timecodes must rise and delivery timestamps must rise, except that a picture the
// runtime replays to a new connection (same sequence) is in order when its timecode and bytes are
// exactly those of the picture it repeats.
class NdiOrderCheck
{
public:
    bool accept(qint64 sequence, qint64 timecode, qint64 deliveryTimestamp, const QByteArray &payload);
    int exactReplays() const { return m_exactReplays; }

private:
    qint64 m_lastSequence = -1;
    qint64 m_lastTimecode = -1;
    qint64 m_lastDelivery = -1;
    QByteArray m_lastPayload;
    int m_exactReplays = 0;
};
