#include "platform/media/MonitorStream.h"

#include <QLoggingCategory>
#include <alsa/asoundlib.h>
#include <algorithm>
#include <cerrno>
#include <cstring>

Q_LOGGING_CATEGORY(lcMonitor, "zelvo.media.monitor")

namespace {
constexpr unsigned LatencyUs = 80000;     // the PCM's buffer; four periods of 20 ms
constexpr quint64 RingFrames = 16384;     // a power of two above the most the ring may hold
constexpr quint64 MaxQueuedFrames = 12000; // 250 ms: older sound goes first
}

MonitorStream::MonitorStream() : m_ring(RingFrames * Channels, 0.0f)
{
}

MonitorStream::~MonitorStream()
{
    {
        std::lock_guard lock(m_mutex);
        m_quit = true;
        m_changed.notify_all();
    }
    if (m_thread.joinable())
        m_thread.join();
}

void MonitorStream::configure(const QByteArray &device, bool wanted)
{
    std::lock_guard lock(m_mutex);
    if (device != m_device || (wanted && !m_wanted))
        m_failed = false;
    if (!wanted)
        m_readFrame = m_writeFrame;
    m_device = device;
    m_wanted = wanted;
    if (wanted && !m_thread.joinable())
        m_thread = std::thread([this] { run(); });
    m_changed.notify_all();
}

void MonitorStream::setVolume(float volume)
{
    m_volume.store(std::clamp(volume, 0.0f, 1.0f));
}

void MonitorStream::write(const QByteArray &samples)
{
    const quint64 frames = quint64(samples.size()) / (Channels * sizeof(float));
    const auto *in = reinterpret_cast<const float *>(samples.constData());
    std::lock_guard lock(m_mutex);
    if (!m_wanted || m_failed)
        return;
    for (quint64 i = 0; i < frames; ++i) {
        const quint64 at = (m_writeFrame + i) % RingFrames * Channels;
        m_ring[at] = in[i * Channels];
        m_ring[at + 1] = in[i * Channels + 1];
    }
    m_writeFrame += frames;
    if (m_writeFrame - m_readFrame > MaxQueuedFrames)
        m_readFrame = m_writeFrame - MaxQueuedFrames;
}

void MonitorStream::drop()
{
    std::lock_guard lock(m_mutex);
    m_readFrame = m_writeFrame;
}

bool MonitorStream::hasFailed() const
{
    std::lock_guard lock(m_mutex);
    return m_failed;
}

void MonitorStream::run()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] { return m_quit || m_pcm || (m_wanted && !m_failed); });
        if (m_quit)
            break;
        const bool wanted = m_wanted && !m_failed;
        if (m_pcm && (!wanted || m_device != m_openDevice)) {
            lock.unlock();
            closePcm();
            lock.lock();
            continue;
        }
        if (!m_pcm) {
            const QByteArray device = m_device;
            lock.unlock();
            const bool opened = openPcm(device);
            lock.lock();
            if (!opened && device == m_device)
                m_failed = true;
            continue;
        }
        takeFrames(m_period.data(), m_periodFrames);
        lock.unlock();
        const bool written = writePeriod(m_period.data(), m_periodFrames);
        lock.lock();
        if (!written) {
            m_failed = true;
            lock.unlock();
            closePcm();
            lock.lock();
        }
    }
    lock.unlock();
    closePcm();
}

void MonitorStream::takeFrames(float *out, long frames)
{
    const quint64 available = std::min<quint64>(m_writeFrame - m_readFrame, quint64(frames));
    const float volume = m_volume.load();
    for (quint64 i = 0; i < available; ++i) {
        const quint64 at = (m_readFrame + i) % RingFrames * Channels;
        out[i * Channels] = m_ring[at] * volume;
        out[i * Channels + 1] = m_ring[at + 1] * volume;
    }
    m_readFrame += available;
    std::fill(out + available * Channels, out + quint64(frames) * Channels, 0.0f);
}

bool MonitorStream::openPcm(const QByteArray &device)
{
    snd_pcm_t *pcm = nullptr;
    int rc = snd_pcm_open(&pcm, device.constData(), SND_PCM_STREAM_PLAYBACK, 0);
    if (rc >= 0)
        rc = snd_pcm_set_params(pcm, SND_PCM_FORMAT_FLOAT_LE, SND_PCM_ACCESS_RW_INTERLEAVED, Channels, Rate, 1,
                                LatencyUs);
    snd_pcm_uframes_t bufferFrames = 0, periodFrames = 0;
    if (rc >= 0)
        rc = snd_pcm_get_params(pcm, &bufferFrames, &periodFrames);
    if (rc < 0 || periodFrames == 0) {
        qCWarning(lcMonitor, "Monitoring device %s refused the stream: %s", device.constData(), snd_strerror(rc));
        if (pcm)
            snd_pcm_close(pcm);
        return false;
    }
    m_pcm = pcm;
    m_openDevice = device;
    m_periodFrames = long(periodFrames);
    m_period.assign(periodFrames * Channels, 0.0f);
    ++m_opens;
    m_open.store(true);
    return true;
}

void MonitorStream::closePcm()
{
    if (!m_pcm)
        return;
    snd_pcm_drop(m_pcm);
    snd_pcm_close(m_pcm);
    m_pcm = nullptr;
    m_openDevice.clear();
    m_open.store(false);
}

bool MonitorStream::writePeriod(const float *samples, long frames)
{
    while (frames > 0) {
        const snd_pcm_sframes_t written = snd_pcm_writei(m_pcm, samples, snd_pcm_uframes_t(frames));
        if (written >= 0) {
            samples += written * Channels;
            frames -= written;
            continue;
        }
        if (written == -EAGAIN)
            continue;
        if (written == -ENODEV || written == -ESTRPIPE || snd_pcm_recover(m_pcm, int(written), 1) < 0) {
            qCWarning(lcMonitor, "Monitoring device lost: %s", snd_strerror(int(written)));
            return false;
        }
    }
    return true;
}
