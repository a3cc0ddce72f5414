#pragma once

#include <QtGlobal>

#include <optional>

// One AES67 RTP packet: a 12-byte RTP header (version 2, payload type 96, no marker, no CSRC) and
// 48 frames of linear 24-bit PCM, big-endian, channels interleaved.
class Aes67RtpPacket
{
public:
    static constexpr int HeaderSize = 12;
    static constexpr int FramesPerPacket = 48;
    static constexpr int BytesPerSample = 3;
    static constexpr int MaxChannels = 8;
    static constexpr quint8 PayloadType = 96;
    static constexpr double FullScale = 8388607.0;

    static constexpr int sizeFor(int channels) { return HeaderSize + FramesPerPacket * BytesPerSample * channels; }

    // Writes sizeFor(channels) bytes at dst: the header, then channels firstChannel ..
    // firstChannel + channels - 1 of the 48 interleaved frames of totalChannels floats at frames.
    static void write(uchar *dst, quint16 sequence, quint32 timestamp, quint32 ssrc, const float *frames,
                      int totalChannels, int firstChannel, int channels);
    // The 24-bit value of one sample: clipped to [-1, 1], scaled by FullScale and rounded to the
    // nearest integer (halves to even); NaN gives 0.
    static qint32 l24Value(float sample);

    // A received packet of `channels` channels (1..8), or nothing when the size is not exactly
    // sizeFor(channels): a stream of known shape has one packet size, so nothing is read past the
    // end. The header fields are taken as they are; the packet keeps pointing at data.
    static std::optional<Aes67RtpPacket> parse(const char *data, qsizetype size, int channels);

    quint8 firstByte = 0; // version, padding, extension, CSRC count (0x80 for this sender)
    quint16 sequence = 0;
    quint32 timestamp = 0;
    quint32 ssrc = 0;
    quint8 payloadType = 0;
    bool marker = false;
    int channels = 0;

    // Sample of one frame and channel (both 0-based) as a value in [-1, 1].
    double sample(int frame, int channel) const;

private:
    const uchar *m_payload = nullptr;
};
