#include "web/WebOpusEncoder.h"

#include <opus.h>

WebOpusEncoder::~WebOpusEncoder()
{
    if (m_encoder)
        opus_encoder_destroy(m_encoder);
}

bool WebOpusEncoder::create(int bitrate)
{
    if (m_encoder) {
        opus_encoder_destroy(m_encoder);
        m_encoder = nullptr;
    }
    int error = OPUS_OK;
    OpusEncoder *encoder = opus_encoder_create(48000, 2, OPUS_APPLICATION_AUDIO, &error);
    if (error != OPUS_OK || !encoder)
        return false;
    m_encoder = encoder;
    opus_encoder_ctl(m_encoder, OPUS_SET_BITRATE(bitrate));
    opus_encoder_ctl(m_encoder, OPUS_SET_COMPLEXITY(5));
    return true;
}

QByteArray WebOpusEncoder::encode(const float *samples)
{
    if (!m_encoder)
        return {};
    unsigned char packet[4000];
    const int n = opus_encode_float(m_encoder, samples, 960, packet, int(sizeof packet));
    if (n <= 0)
        return {};
    return QByteArray(reinterpret_cast<const char *>(packet), n);
}
