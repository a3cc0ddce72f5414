#pragma once

#include <QtGlobal>

#include <limits>

// What the AES67 runner measures on one received RTP stream.
struct RtpStreamStats
{
    int packets = 0;  // datagrams of the expected size
    int gaps = 0;     // sequence numbers that did not follow the previous one
    int badSize = 0;  // datagrams of another size
    int badSteps = 0; // timestamps that did not advance by exactly 48
    quint16 lastSequence = 0;
    quint32 lastTimestamp = 0;
    bool first = true;
    double routedPeak = 0.0; // channels 1 and 2 of the stream
    double otherPeak = 0.0;  // every other channel
    qint64 minLag = std::numeric_limits<qint64>::max();  // smallest PTP minus RTP time, samples
    qint64 maxLead = std::numeric_limits<qint64>::min(); // largest RTP minus PTP time, samples

    bool lagMeasured() const { return minLag != std::numeric_limits<qint64>::max(); }
};
