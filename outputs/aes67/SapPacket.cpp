#include "outputs/aes67/SapPacket.h"

#include <QtEndian>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

namespace {

constexpr int FixedHeaderSize = 4;
constexpr char SdpType[] = "application/sdp";

} // namespace

quint16 sapMessageIdHash(quint32 sessionId, int version)
{
    const quint16 hash = quint16(sessionId + 2u * quint32(version));
    return hash ? hash : 1;
}

QByteArray buildSapPacket(bool deletion, quint16 messageIdHash, const QString &interfaceAddress, const QByteArray &sdp)
{
    in_addr origin{};
    if (inet_pton(AF_INET, interfaceAddress.toLatin1().constData(), &origin) != 1)
        origin.s_addr = 0;
    QByteArray packet(8, '\0');
    auto *header = reinterpret_cast<uchar *>(packet.data());
    header[0] = SapPacket::Version1 | (deletion ? SapPacket::DeletionFlag : 0);
    header[1] = 0;
    qToBigEndian(messageIdHash, header + 2);
    std::memcpy(header + 4, &origin.s_addr, 4); // already in network order
    packet.append(SdpType, sizeof SdpType);     // with its terminating zero
    packet.append(sdp);
    return packet;
}

std::optional<SapPacket> SapPacket::parse(const char *data, qsizetype size)
{
    if (!data || size < FixedHeaderSize)
        return std::nullopt;
    const auto *bytes = reinterpret_cast<const uchar *>(data);
    if ((bytes[0] & 0xE0) != Version1 || bytes[0] & (EncryptedFlag | CompressedFlag))
        return std::nullopt;
    const qsizetype originSize = bytes[0] & AddressTypeIpv6 ? 16 : 4;
    const qsizetype authSize = qsizetype(bytes[1]) * 4;
    const qsizetype payloadStart = FixedHeaderSize + originSize + authSize;
    if (size < payloadStart)
        return std::nullopt;

    SapPacket packet;
    packet.deletion = bytes[0] & DeletionFlag;
    packet.messageIdHash = qFromBigEndian<quint16>(bytes + 2);
    packet.origin = QByteArray(data + FixedHeaderSize, originSize);
    const char *body = data + payloadStart;
    const qsizetype bodySize = size - payloadStart;
    // The payload type is optional; an SDP payload without one starts with its "v=0" line.
    if (bodySize >= 3 && std::memcmp(body, "v=0", 3) == 0) {
        packet.payload = QByteArray(body, bodySize);
        return packet;
    }
    const void *terminator = std::memchr(body, '\0', size_t(bodySize));
    if (!terminator)
        return std::nullopt;
    const qsizetype typeSize = static_cast<const char *>(terminator) - body;
    packet.payloadType = QByteArray(body, typeSize);
    packet.payload = QByteArray(body + typeSize + 1, bodySize - typeSize - 1);
    return packet;
}
