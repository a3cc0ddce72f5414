#include "outputs/aes67/Aes67RtpPacket.h"

#include <QtEndian>

#include <algorithm>
#include <cmath>

qint32 Aes67RtpPacket::l24Value(float sample)
{
    if (std::isnan(sample))
        return 0;
    const double clipped = std::clamp(double(sample), -1.0, 1.0);
    return qint32(std::lrint(clipped * FullScale));
}

void Aes67RtpPacket::write(uchar *dst, quint16 sequence, quint32 timestamp, quint32 ssrc, const float *frames,
                           int totalChannels, int firstChannel, int channels)
{
    dst[0] = 0x80;
    dst[1] = PayloadType;
    qToBigEndian(sequence, dst + 2);
    qToBigEndian(timestamp, dst + 4);
    qToBigEndian(ssrc, dst + 8);
    uchar *out = dst + HeaderSize;
    for (int frame = 0; frame < FramesPerPacket; ++frame) {
        const float *in = frames + qsizetype(frame) * totalChannels + firstChannel;
        for (int c = 0; c < channels; ++c) {
            const quint32 value = quint32(l24Value(in[c]));
            *out++ = uchar(value >> 16);
            *out++ = uchar(value >> 8);
            *out++ = uchar(value);
        }
    }
}

std::optional<Aes67RtpPacket> Aes67RtpPacket::parse(const char *data, qsizetype size, int channels)
{
    if (!data || channels < 1 || channels > MaxChannels || size != sizeFor(channels))
        return std::nullopt;
    const auto *bytes = reinterpret_cast<const uchar *>(data);
    Aes67RtpPacket packet;
    packet.firstByte = bytes[0];
    packet.marker = bytes[1] & 0x80;
    packet.payloadType = bytes[1] & 0x7F;
    packet.sequence = qFromBigEndian<quint16>(bytes + 2);
    packet.timestamp = qFromBigEndian<quint32>(bytes + 4);
    packet.ssrc = qFromBigEndian<quint32>(bytes + 8);
    packet.channels = channels;
    packet.m_payload = bytes + HeaderSize;
    return packet;
}

double Aes67RtpPacket::sample(int frame, int channel) const
{
    if (!m_payload || frame < 0 || frame >= FramesPerPacket || channel < 0 || channel >= channels)
        return 0.0;
    const uchar *p = m_payload + (qsizetype(frame) * channels + channel) * BytesPerSample;
    // Sign-extend the 24-bit value through the top of a 32-bit word.
    const qint32 value = qint32(quint32(p[0]) << 24 | quint32(p[1]) << 16 | quint32(p[2]) << 8) >> 8;
    return double(value) / FullScale;
}
