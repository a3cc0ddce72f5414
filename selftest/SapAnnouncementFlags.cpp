#include "selftest/SapAnnouncementFlags.h"

#include "outputs/aes67/SapPacket.h"

#include <QNetworkDatagram>
#include <QUdpSocket>

void SapAnnouncementFlags::note(const char *data, qsizetype size)
{
    const std::optional<SapPacket> packet = SapPacket::parse(data, size);
    if (!packet)
        return;
    const QByteArray &sdp = packet->payload;
    if (packet->deletion) {
        withdrawn = withdrawn || sdp.contains("239.69.93.1");
        return;
    }
    announced1 = announced1 || (sdp.contains("239.69.93.1/") && sdp.contains("L24/48000/8") && sdp.contains(":93\r\n"));
    announced2 = announced2 || (sdp.contains("239.69.93.2/") && sdp.contains("L24/48000/2"));
}

void readSapAnnouncement(QUdpSocket &socket, SapAnnouncementFlags &flags)
{
    while (socket.hasPendingDatagrams()) {
        const QByteArray data = socket.receiveDatagram().data();
        flags.note(data.constData(), data.size());
    }
}
