#pragma once

#include <QByteArray>

struct OpusEncoder;

// Turns 20 ms blocks of 48 kHz stereo float samples (960 frames, interleaved) into Opus packets for
// the web stream's audio track. Used only on the stream's encoder thread.
class WebOpusEncoder
{
public:
    // The bit rate the web streams encode at; the offer advertises the same value.
    static constexpr int streamBitrate = 128000;

    WebOpusEncoder() = default;
    ~WebOpusEncoder();
    WebOpusEncoder(const WebOpusEncoder &) = delete;
    WebOpusEncoder &operator=(const WebOpusEncoder &) = delete;

    bool create(int bitrate);
    // One packet for 960 stereo frames; empty on failure or without an encoder.
    QByteArray encode(const float *samples);

private:
    OpusEncoder *m_encoder = nullptr;
};
