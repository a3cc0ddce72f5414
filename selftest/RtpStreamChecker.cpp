#include "selftest/RtpStreamChecker.h"

#include "outputs/aes67/Aes67RtpPacket.h"
#include "outputs/aes67/PtpClock.h"

#include <QNetworkDatagram>
#include <QUdpSocket>

#include <algorithm>
#include <cmath>

RtpStreamChecker::RtpStreamChecker(const QHostAddress &group, int channels, RtpStreamStats *stats,
                                   const PtpClock *clock)
    : m_group(group), m_channels(channels), m_stats(stats), m_clock(clock)
{
}

void RtpStreamChecker::drain(QUdpSocket &socket, bool examine) const
{
    while (socket.hasPendingDatagrams()) {
        const QNetworkDatagram datagram = socket.receiveDatagram();
        if (!examine)
            continue;
        std::optional<qint64> ptpNs;
        if (m_clock) {
            const qint64 now = m_clock->now(); // first, as close to the arrival as possible
            if (m_clock->status().locked)
                ptpNs = now;
        }
        const QByteArray data = datagram.data();
        this->examine(data.constData(), data.size(), datagram.destinationAddress(), ptpNs);
    }
}

void RtpStreamChecker::examine(const char *data, qsizetype size, const QHostAddress &destination,
                               std::optional<qint64> ptpNs) const
{
    // Every socket bound to the port sees every group joined on it; keep this stream's only.
    if (!destination.isNull() && destination != m_group)
        return;
    RtpStreamStats &stats = *m_stats;
    const std::optional<Aes67RtpPacket> packet = Aes67RtpPacket::parse(data, size, m_channels);
    if (!packet) {
        ++stats.badSize;
        return;
    }
    if (!stats.first) {
        if (packet->sequence != quint16(stats.lastSequence + 1))
            ++stats.gaps;
        if (packet->timestamp - stats.lastTimestamp != 48u)
            ++stats.badSteps;
    }
    stats.first = false;
    stats.lastSequence = packet->sequence;
    stats.lastTimestamp = packet->timestamp;
    ++stats.packets;

    for (int frame = 0; frame < Aes67RtpPacket::FramesPerPacket; ++frame) {
        for (int channel = 0; channel < m_channels; ++channel) {
            const double level = std::fabs(packet->sample(frame, channel));
            double &peak = channel < 2 ? stats.routedPeak : stats.otherPeak;
            peak = std::max(peak, level);
        }
    }

    if (ptpNs) {
        const qint64 now = *ptpNs;
        const quint32 ptpSamples = quint32((now / 1'000'000'000) * 48000 + ((now % 1'000'000'000) * 48000) / 1'000'000'000);
        stats.minLag = std::min<qint64>(stats.minLag, qint32(ptpSamples - packet->timestamp));
        stats.maxLead = std::max<qint64>(stats.maxLead, qint32(packet->timestamp - ptpSamples));
    }
}
