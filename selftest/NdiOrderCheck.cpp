#include "selftest/NdiOrderCheck.h"

bool NdiOrderCheck::accept(qint64 sequence, qint64 timecode, qint64 deliveryTimestamp, const QByteArray &payload)
{
    if (sequence < 0 || payload.isEmpty() || deliveryTimestamp <= m_lastDelivery)
        return false;
    m_lastDelivery = deliveryTimestamp;
    if (sequence == m_lastSequence) {
        ++m_exactReplays;
        return timecode == m_lastTimecode && payload == m_lastPayload;
    }
    if (sequence < m_lastSequence || timecode <= m_lastTimecode)
        return false;
    m_lastSequence = sequence;
    m_lastTimecode = timecode;
    m_lastPayload = payload;
    return true;
}
