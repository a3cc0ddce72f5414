#include "outputs/aes67/PtpMessage.h"

#include <QtEndian>

#include <algorithm>

namespace {

constexpr qint64 NsPerSecond = 1'000'000'000;

bool hasTimestamp(quint8 type)
{
    return type == PtpMessage::Sync || type == PtpMessage::DelayReq || type == PtpMessage::FollowUp
        || type == PtpMessage::DelayResp || type == PtpMessage::Announce;
}

void readBody(const uchar *b, PtpMessage &m)
{
    if (m.messageType == PtpMessage::DelayResp)
        std::copy_n(b + 44, m.requestingPortIdentity.size(), m.requestingPortIdentity.begin());
    if (m.messageType != PtpMessage::Announce)
        return;
    m.currentUtcOffset = qFromBigEndian<qint16>(b + 44);
    m.priority1 = b[47];
    m.clockClass = b[48];
    m.clockAccuracy = b[49];
    m.offsetScaledLogVariance = qFromBigEndian<quint16>(b + 50);
    m.priority2 = b[52];
    std::copy_n(b + 53, m.grandmasterIdentity.size(), m.grandmasterIdentity.begin());
    m.stepsRemoved = qFromBigEndian<quint16>(b + 61);
    m.timeSource = b[63];
}

void writeBody(uchar *b, const PtpMessage &m)
{
    if (hasTimestamp(m.messageType))
        writePtpTimestamp(b + 34, m.timestampNs);
    if (m.messageType == PtpMessage::DelayResp)
        std::copy(m.requestingPortIdentity.begin(), m.requestingPortIdentity.end(), b + 44);
    if (m.messageType != PtpMessage::Announce)
        return;
    qToBigEndian<qint16>(m.currentUtcOffset, b + 44);
    b[47] = m.priority1;
    b[48] = m.clockClass;
    b[49] = m.clockAccuracy;
    qToBigEndian<quint16>(m.offsetScaledLogVariance, b + 50);
    b[52] = m.priority2;
    std::copy(m.grandmasterIdentity.begin(), m.grandmasterIdentity.end(), b + 53);
    qToBigEndian<quint16>(m.stepsRemoved, b + 61);
    b[63] = m.timeSource;
}

} // namespace

int PtpMessage::sizeForType(quint8 type)
{
    switch (type) {
    case Sync:
    case DelayReq:
    case FollowUp:
        return TimestampMessageSize;
    case DelayResp:
        return DelayRespSize;
    case Announce:
        return AnnounceSize;
    default:
        return HeaderSize;
    }
}

std::optional<PtpMessage> PtpMessage::parse(const char *data, qsizetype size)
{
    if (!data || size < HeaderSize)
        return std::nullopt;
    const auto *b = reinterpret_cast<const uchar *>(data);
    PtpMessage m;
    m.versionPtp = b[1] & 0x0F;
    if (m.versionPtp != 2)
        return std::nullopt;
    m.messageType = b[0] & 0x0F;
    m.messageLength = qFromBigEndian<quint16>(b + 2);
    // A messageLength beyond the datagram means it was cut short; one below the type's size means
    // the body is not all there, whatever trails it.
    if (m.messageLength > size || m.messageLength < sizeForType(m.messageType))
        return std::nullopt;
    m.domainNumber = b[4];
    m.flags = qFromBigEndian<quint16>(b + 6);
    m.correctionNs = qFromBigEndian<qint64>(b + 8) >> 16;
    std::copy_n(b + 20, m.sourcePortIdentity.size(), m.sourcePortIdentity.begin());
    m.sequenceId = qFromBigEndian<quint16>(b + 30);
    m.controlField = b[32];
    m.logMessageInterval = qint8(b[33]);
    if (hasTimestamp(m.messageType) && !readPtpTimestamp(b + 34, &m.timestampNs))
        return std::nullopt;
    readBody(b, m);
    return m;
}

QByteArray PtpMessage::encode() const
{
    const int size = sizeForType(messageType);
    QByteArray bytes(size, '\0');
    auto *b = reinterpret_cast<uchar *>(bytes.data());
    b[0] = messageType & 0x0F;
    b[1] = 2;
    qToBigEndian<quint16>(quint16(size), b + 2);
    b[4] = domainNumber;
    qToBigEndian<quint16>(flags, b + 6);
    qToBigEndian<quint64>(quint64(correctionNs) << 16, b + 8);
    std::copy(sourcePortIdentity.begin(), sourcePortIdentity.end(), b + 20);
    qToBigEndian<quint16>(sequenceId, b + 30);
    b[32] = controlField;
    b[33] = uchar(logMessageInterval);
    writeBody(b, *this);
    return bytes;
}

PtpClockIdentity PtpMessage::sourceClockIdentity() const
{
    PtpClockIdentity id;
    std::copy_n(sourcePortIdentity.begin(), id.size(), id.begin());
    return id;
}

void writePtpTimestamp(uchar *dst, qint64 ns)
{
    ns = std::max<qint64>(ns, 0);
    const quint64 seconds = quint64(ns / NsPerSecond);
    qToBigEndian<quint16>(quint16(seconds >> 32), dst);
    qToBigEndian<quint32>(quint32(seconds), dst + 2);
    qToBigEndian<quint32>(quint32(ns % NsPerSecond), dst + 6);
}

bool readPtpTimestamp(const uchar *src, qint64 *ns)
{
    const quint64 seconds = (quint64(qFromBigEndian<quint16>(src)) << 32) | qFromBigEndian<quint32>(src + 2);
    const quint32 nanoseconds = qFromBigEndian<quint32>(src + 6);
    if (nanoseconds >= NsPerSecond || seconds >= quint64(PtpMessage::MaxTimestampNs / NsPerSecond))
        return false;
    *ns = qint64(seconds) * NsPerSecond + nanoseconds;
    return true;
}
