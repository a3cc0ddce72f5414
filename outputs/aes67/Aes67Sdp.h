#pragma once

#include <QByteArray>
#include <QString>

// The SDP description (UTF-8, CR LF line ends) of one AES67 stream: L24 at 48 kHz, 1 ms packets,
// RTP timestamps straight from PTP time (mediaclk direct=0) of the grandmaster `grandmaster`
// (8 bytes) in `domain`. Control characters in the name become blanks, so a name can never add a
// line of its own.
QByteArray buildSdp(const QString &name, const QString &origin, const QString &address, int ttl, int channels,
                    int domain, quint32 sessionId, int version, const QByteArray &grandmaster);
