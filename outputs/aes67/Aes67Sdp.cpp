#include "outputs/aes67/Aes67Sdp.h"

#include "outputs/aes67/PtpClock.h"

#include <QStringList>

namespace {

QString singleLine(QString text)
{
    for (QChar &c : text) {
        if (c.category() == QChar::Other_Control)
            c = QLatin1Char(' ');
    }
    return text;
}

} // namespace

QByteArray buildSdp(const QString &name, const QString &origin, const QString &address, int ttl, int channels,
                    int domain, quint32 sessionId, int version, const QByteArray &grandmaster)
{
    const QStringList lines{
        QStringLiteral("v=0"),
        QStringLiteral("o=- %1 %2 IN IP4 %3").arg(sessionId).arg(quint32(version)).arg(singleLine(origin)),
        QStringLiteral("s=") + singleLine(name),
        QStringLiteral("c=IN IP4 %1/%2").arg(singleLine(address)).arg(ttl),
        QStringLiteral("t=0 0"),
        QStringLiteral("a=clock-domain:PTPv2 %1").arg(domain),
        QStringLiteral("m=audio 5004 RTP/AVP 96"),
        QStringLiteral("i=%1 channels").arg(channels),
        QStringLiteral("a=rtpmap:96 L24/48000/%1").arg(channels),
        QStringLiteral("a=sync-time:0"),
        QStringLiteral("a=framecount:48"),
        QStringLiteral("a=ptime:1"),
        QStringLiteral("a=mediaclk:direct=0"),
        QStringLiteral("a=ts-refclk:ptp=IEEE1588-2008:%1:%2").arg(formatClockIdentity(grandmaster)).arg(domain),
        QStringLiteral("a=recvonly"),
    };
    return (lines.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n")).toUtf8();
}
