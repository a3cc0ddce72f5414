// The deck's sound: the tap of decoded audio into the program mixer, the 10 ms pump of program
// packets, the real-time pull of the low-latency engine, and the local monitoring outputs.
#include "engine/NativeChannel.h"

#include "platform/media/MediaPlayer.h"

#include <QAudioDevice>
#include <QAudioOutput>
#include <QMediaDevices>
#include <QMutexLocker>
#include <algorithm>
#include <cmath>

void NativeChannel::applyAudioState()
{
    m_mixVolume.store(m_volume);
    m_mixSilenced.store(m_preview || m_muted || !m_audioEnabled);
    for (int i = 0; i < 2; ++i) {
        QAudioOutput *output = m_slots[i].audioOutput;
        output->setVolume(std::clamp(m_slots[i].gain * m_volume, 0.0f, 1.0f));
        output->setMuted(m_externalOutput || m_muted || !m_audioEnabled || !m_deviceAvailable || m_ended
                         || (i != m_activeSlot && i != m_outgoingSlot));
    }
}

void NativeChannel::setVolume(float volume)
{
    m_volume = std::isfinite(volume) ? std::clamp(volume, 0.0f, 1.0f) : 0.0f;
    applyAudioState();
    emit changed();
}

void NativeChannel::setMuted(bool muted)
{
    if (muted && !m_muted)
        emit audioReset();
    m_muted = muted;
    applyAudioState();
    emit changed();
}

void NativeChannel::setAudioEnabled(bool enabled)
{
    m_audioEnabled = enabled;
    applyAudioState();
    emit changed();
}

void NativeChannel::setExternalOutput(bool external)
{
    m_externalOutput = external;
    applyAudioState();
    emit changed();
}

void NativeChannel::setAudioDevice(const QByteArray &id)
{
    m_audioDeviceId = id;
    QAudioDevice device;
    if (id.isEmpty()) {
        device = QMediaDevices::defaultAudioOutput();
    } else {
        const QList<QAudioDevice> outputs = QMediaDevices::audioOutputs();
        const auto match = std::find_if(outputs.begin(), outputs.end(),
                                        [&id](const QAudioDevice &d) { return d.id() == id; });
        if (match != outputs.end())
            device = *match;
    }
    const bool wasAvailable = m_deviceAvailable;
    m_deviceAvailable = !device.isNull();
    if (m_deviceAvailable) {
        for (PlayerSlot &s : m_slots)
            s.audioOutput->setDevice(device);
    }
    applyAudioState();
    if (wasAvailable && !m_deviceAvailable)
        emit audioWarning(QStringLiteral("Audio device unavailable; local output muted"));
    emit changed();
}

bool NativeChannel::isMuted() const
{
    return m_slots[0].audioOutput->isMuted() && m_slots[1].audioOutput->isMuted();
}

void NativeChannel::mixProgramAudio(qint64 firstFrame, int frames, float *out, int *missing)
{
    // Called on the engine's real-time thread: it never waits for the GUI thread's hold on the mixer.
    m_mixer.tryMix(firstFrame, frames, m_mixVolume.load(), m_mixSilenced.load(), out, missing);
}

void NativeChannel::realignSlot(int slot, qint64 mediaUs)
{
    QMutexLocker lock(&m_mixer.mutex());
    PlayerSlot &s = m_slots[slot];
    s.offsetUs = clockUs() - mediaUs;
    s.nextTapFrame = -1;
    m_mixer.flush(slot);
    ProgramAudioMixer::Row &row = m_mixer.row(slot);
    row.resetEnvelope();
    row.enterStartUs = s.cue.in_ms * 1000 + s.offsetUs;
    row.enterLengthUs = m_fadeMs * 1000;
    row.fadeThroughBlack = m_transitionKind == 2;
    // While the media's duration is not known yet, a cue that plays to the end has an open end:
    // an end at the offset itself would silence every buffer.
    const qint64 endMs = slotOutMs(slot);
    row.endUs = endMs > 0 ? endMs * 1000 + s.offsetUs : ProgramAudioMixer::noEnd;
}

void NativeChannel::onAudioBuffer(int slot, const QAudioBuffer &buffer)
{
    PlayerSlot &s = m_slots[slot];
    if (m_preview || !buffer.isValid() || m_ended || (slot != m_activeSlot && slot != m_outgoingSlot)
        || s.player->playbackState() != QMediaPlayer::PlayingState)
        return;
    const QAudioFormat format = buffer.format();
    if (format.sampleRate() != 48000 || format.channelCount() != 2 || format.sampleFormat() != QAudioFormat::Float) {
        emit audioWarning(QStringLiteral("Unsupported decoded audio format; network audio requires stereo float 48 kHz"));
        return;
    }
    const qint64 t = buffer.startTime() >= 0 ? buffer.startTime() : s.player->position() * 1000;
    if (s.realignPending) {
        if (t < s.realignTargetUs - 50000 || t > s.realignTargetUs + 2000000)
            return;
        qint64 anchor = s.player->position() * 1000;
        if (anchor < s.realignTargetUs - 50000 || t < anchor)
            anchor = t;
        s.realignPending = false;
        realignSlot(slot, anchor);
    }
    const qint64 skip = std::max<qint64>(0, (s.cue.in_ms * 1000 - t) * 48 / 1000);
    const qint64 endMs = slotOutMs(slot);
    // Out -1 on media whose duration is not known yet: the range is open at the end.
    const qint64 end = endMs > 0 ? std::max<qint64>(0, (endMs * 1000 - t) * 48 / 1000) : buffer.frameCount();
    const qint64 n = std::min<qint64>(buffer.frameCount(), end);
    const qint64 first = tapPosition(t + s.offsetUs, buffer.frameCount(), s.nextTapFrame);
    if (skip >= n)
        return;
    if (m_pumpFrame + 48000 >= first + skip && first + n >= m_pumpFrame) {
        const float *samples = buffer.constData<float>();
        m_mixer.push(slot, samples + 2 * skip, int(n - skip), first + skip);
        ++m_audioBuffersTapped;
    }
}

qint64 NativeChannel::tapPosition(qint64 programUs, int frames, qint64 &nextFrame)
{
    // Start times are whole microseconds and a frame lasts 20.83 of them, so converting each
    // buffer's time on its own can land a frame early or late: a skipped sample and a zero one at
    // every such seam. A buffer that follows its predecessor within a frame or two continues it.
    qint64 first = programUs * 48 / 1000;
    if (nextFrame >= 0 && std::abs(first - nextFrame) <= 2)
        first = nextFrame;
    nextFrame = first + frames;
    return first;
}

void NativeChannel::pumpAudio()
{
    constexpr int packetsPerTick = 4;  // a late tick catches up by at most 40 ms
    const qint64 now = std::max<qint64>(0, (clockUs() * 48 - 1920000) / 1000);
    // More than 100 ms behind (a stalled event loop): the older sound is skipped, but this tick
    // still sends the newest 40 ms. Jumping right to the present would send nothing now, and an
    // event loop that stays that slow would then send silence for as long as it lasts.
    if (now - m_pumpFrame > 4800)
        m_pumpFrame = now - now % 480 - packetsPerTick * 480;
    for (int i = 0; i < packetsPerTick && now >= m_pumpFrame + 480; ++i) {
        const AudioPacket packet = m_mixer.mixPacket(m_pumpFrame, 480, m_volume, m_muted || m_preview);
        m_pumpFrame += 480;
        const float *samples = reinterpret_cast<const float *>(packet.data.constData());
        float left = 0.0f, right = 0.0f;
        for (int k = 0; k < packet.frames(); ++k) {
            left = std::max(left, std::abs(samples[2 * k]));
            right = std::max(right, std::abs(samples[2 * k + 1]));
        }
        emit audioMeter(left, right);
        emit audioReady(packet);
    }
}
