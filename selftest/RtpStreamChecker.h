#pragma once

#include "selftest/RtpStreamStats.h"

#include <QHostAddress>

#include <optional>

class PtpClock;
class QUdpSocket;

// Reads one AES67 stream back: takes the pending datagrams of a socket and keeps in the stats
// their count, sequence gaps, timestamp steps, sizes, peaks and (with a locked PTP clock) how far
// their timestamps are from PTP time at the moment they were read.
class RtpStreamChecker
{
public:
    // The stream sent to `group` with `channels` channels (1..8); clock may be null.
    RtpStreamChecker(const QHostAddress &group, int channels, RtpStreamStats *stats, const PtpClock *clock = nullptr);

    // Reads every pending datagram of the socket; without examine they are only dropped (that
    // keeps a socket empty between measurements).
    void drain(QUdpSocket &socket, bool examine) const;
    // One datagram that arrived for `destination` (null when the system did not say): skipped when
    // it was sent to another group. ptpNs is the PTP time at which it was read, when known.
    void examine(const char *data, qsizetype size, const QHostAddress &destination, std::optional<qint64> ptpNs) const;

private:
    QHostAddress m_group;
    int m_channels;
    RtpStreamStats *m_stats;
    const PtpClock *m_clock;
};
