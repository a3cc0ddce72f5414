#include "engine/ProgramAudioMixer.h"

#include <QMutexLocker>
#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

// NaN and infinity (all exponent bits set) would poison every mix they take part in.
float finiteOrSilence(float value)
{
    quint32 bits;
    std::memcpy(&bits, &value, sizeof bits);
    return (bits & 0x7f800000u) == 0x7f800000u ? 0.0f : value;
}

bool validFrameCount(int frames)
{
    return frames >= 1 && frames <= ProgramAudioMixer::ringFrames;
}

} // namespace

void ProgramAudioMixer::Row::resetEnvelope()
{
    enterStartUs = 0;
    enterLengthUs = 0;
    exitStartUs = -1;
    exitLengthUs = 0;
    endUs = noEnd;
    fadeThroughBlack = false;
}

int ProgramAudioMixer::ringIndex(qint64 frame)
{
    return int(((frame % ringFrames) + ringFrames) % ringFrames);
}

void ProgramAudioMixer::push(int slot, const float *interleaved, int frames, qint64 firstFrame)
{
    if (slot < 0 || slot > 1 || !interleaved || !validFrameCount(frames))
        return;
    QMutexLocker lock(&m_mutex);
    Row &r = m_rows[slot];
    for (int i = 0; i < frames; ++i) {
        const qint64 p = firstFrame + i;
        if (p < 0)
            continue;
        const int index = ringIndex(p);
        r.stamps[index] = p;
        r.samples[2 * index] = finiteOrSilence(interleaved[2 * i]);
        r.samples[2 * index + 1] = finiteOrSilence(interleaved[2 * i + 1]);
    }
}

void ProgramAudioMixer::flush(int slot)
{
    QMutexLocker lock(&m_mutex);
    for (int i = 0; i < 2; ++i) {
        if (slot == -1 || slot == i)
            std::fill(m_rows[i].stamps.begin(), m_rows[i].stamps.end(), qint64(-1));
    }
}

float ProgramAudioMixer::envelopeAt(int rowIndex, qint64 u) const
{
    const Row &r = m_rows[rowIndex];
    if (u < r.enterStartUs || u >= r.endUs)
        return 0.0f;
    double g = 1.0;
    if (r.enterLengthUs > 0)
        g = std::clamp(double(u - r.enterStartUs) / double(r.enterLengthUs), 0.0, 1.0);
    if (r.fadeThroughBlack)
        g = std::max(2.0 * g - 1.0, 0.0);
    if (r.exitStartUs >= 0 && u >= r.exitStartUs) {
        if (r.exitLengthUs > 0)
            g *= std::clamp(1.0 - double(u - r.exitStartUs) / double(r.exitLengthUs), 0.0, 1.0);
        else
            g = 0.0;
    }
    return float(g);
}

void ProgramAudioMixer::shiftTimeline(int rowIndex, qint64 d)
{
    Row &r = m_rows[rowIndex];
    r.enterStartUs += d;
    if (r.exitStartUs >= 0)
        r.exitStartUs += d;
    if (r.endUs != noEnd)
        r.endUs += d;
}

void ProgramAudioMixer::mix(qint64 firstFrame, int frames, float volume, bool silenced, float *out,
                            int *missing)
{
    if (missing)
        *missing = 0;
    if (!validFrameCount(frames) || !out)
        return;
    QMutexLocker lock(&m_mutex);
    mixLocked(firstFrame, frames, volume, silenced, out, missing);
}

bool ProgramAudioMixer::tryMix(qint64 firstFrame, int frames, float volume, bool silenced, float *out,
                               int *missing)
{
    if (missing)
        *missing = 0;
    if (!validFrameCount(frames) || !out)
        return true;
    if (!m_mutex.tryLock()) {
        std::fill(out, out + 2 * qsizetype(frames), 0.0f);
        if (missing)
            *missing = frames;
        return false;
    }
    mixLocked(firstFrame, frames, volume, silenced, out, missing);
    m_mutex.unlock();
    return true;
}

void ProgramAudioMixer::mixLocked(qint64 firstFrame, int frames, float volume, bool silenced, float *out,
                                  int *missing) const
{
    const float v = std::clamp(volume, 0.0f, 1.0f);
    const Row &r0 = m_rows[0];
    const Row &r1 = m_rows[1];
    for (int i = 0; i < frames; ++i) {
        const qint64 p = firstFrame + i;
        const int index = ringIndex(p);
        const qint64 u = p * 1000000 / 48000;
        float left = 0.0f, right = 0.0f;
        const bool has0 = r0.stamps[index] == p;
        if (has0) {
            const float g = envelopeAt(0, u);
            left = g * r0.samples[2 * index];
            right = g * r0.samples[2 * index + 1];
        }
        if (r1.stamps[index] == p) {
            const float g = envelopeAt(1, u);
            left += g * r1.samples[2 * index];
            right += g * r1.samples[2 * index + 1];
        } else if (!has0 && missing) {
            ++*missing;
        }
        out[2 * i] = silenced ? 0.0f : std::clamp(v * left, -1.0f, 1.0f);
        out[2 * i + 1] = silenced ? 0.0f : std::clamp(v * right, -1.0f, 1.0f);
    }
}

AudioPacket ProgramAudioMixer::mixPacket(qint64 firstFrame, int frames, float volume, bool silenced)
{
    AudioPacket packet;
    packet.timestampUs = firstFrame * 1000000 / 48000;
    if (validFrameCount(frames)) {
        packet.data.resize(qsizetype(frames) * 8);
        mix(firstFrame, frames, volume, silenced, reinterpret_cast<float *>(packet.data.data()), nullptr);
    }
    return packet;
}

QByteArray planarStereo(const QByteArray &interleaved)
{
    const qsizetype n = interleaved.size() / 8;
    QByteArray planar(interleaved.size(), char(0));
    const float *in = reinterpret_cast<const float *>(interleaved.constData());
    float *out = reinterpret_cast<float *>(planar.data());
    for (qsizetype k = 0; k < n; ++k) {
        out[k] = in[2 * k];
        out[n + k] = in[2 * k + 1];
    }
    return planar;
}
