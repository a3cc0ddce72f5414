#include "outputs/audio/AlsaBackend.h"

#include "outputs/audio/LocalAudioEngine.h"

#include <QLoggingCategory>
#include <alsa/asoundlib.h>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <functional>
#include <pthread.h>
#include <sched.h>
#include <vector>

Q_LOGGING_CATEGORY(lcAlsa, "zelvo.audio.alsa")

namespace {

constexpr unsigned rate = 48000;
constexpr int waitMs = 200;
// Scheduler wake-ups cannot reliably meet periods below this, whatever the device allows.
constexpr snd_pcm_uframes_t smallestPeriod = 64;
// A shared device's period when the caller leaves it open: 5 ms.
constexpr snd_pcm_uframes_t sharedDefaultPeriod = 240;
constexpr int maxChannels = 64;

std::atomic<unsigned> offeredFormats{0xf};
// Set only by tests, before a stream opens.
std::function<void(const float *, long, int)> writtenTap;
std::atomic<bool> priorityWarningLogged{false};

const snd_pcm_format_t alsaFormats[AlsaBackend::formatCount] = {
    SND_PCM_FORMAT_FLOAT_LE, SND_PCM_FORMAT_S32_LE, SND_PCM_FORMAT_S24_LE, SND_PCM_FORMAT_S16_LE};

QString deviceNotFound() { return QStringLiteral("Audio device not found"); }
QString deviceInUse() { return QStringLiteral("Device is in use by another application in exclusive mode"); }

QString rejected(int error)
{
    return QStringLiteral("Audio device rejected the stream (0x%1)")
        .arg(quint32(error), 8, 16, QLatin1Char('0'));
}

bool isLoss(long error)
{
    return error == -ENODEV || error == -ESTRPIPE;
}

// The channel count a device naturally carries: a fixed count when it has one; for a device that
// is opened as it is, its largest count; for a converting or mixing device, stereo.
int naturalChannels(snd_pcm_t *pcm, bool direct)
{
    snd_pcm_hw_params_t *params;
    snd_pcm_hw_params_alloca(&params);
    if (snd_pcm_hw_params_any(pcm, params) < 0)
        return 2;
    unsigned lowest = 0, highest = 0;
    if (snd_pcm_hw_params_get_channels_min(params, &lowest) < 0
        || snd_pcm_hw_params_get_channels_max(params, &highest) < 0)
        return 2;
    if (lowest == highest || direct)
        return int(std::clamp(highest, std::max(lowest, 1u), unsigned(maxChannels)));
    return int(std::clamp(2u, lowest, highest));
}

bool isDirectName(const QString &name)
{
    return name.startsWith(QLatin1String("hw:"));
}

int channelsOfDevice(const QString &name, bool exclusive)
{
    // A plughw: device converts anything; its card's own count is what it naturally carries.
    QString probe = name;
    bool direct = exclusive || isDirectName(name);
    if (name.startsWith(QLatin1String("plughw:"))) {
        probe = name.mid(4);
        direct = true;
    }
    snd_pcm_t *pcm = nullptr;
    if (snd_pcm_open(&pcm, probe.toLocal8Bit().constData(), SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK) < 0)
        return 2;
    const int channels = naturalChannels(pcm, direct);
    snd_pcm_close(pcm);
    return channels;
}

// Raises the calling thread to real-time priority; returns whether it did. A refusal (no
// privilege) is logged once per process and otherwise ignored.
bool raisePriority()
{
    sched_param param{};
    param.sched_priority = std::min(sched_get_priority_max(SCHED_FIFO), 70);
    const int error = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
    if (error == 0)
        return true;
    if (!priorityWarningLogged.exchange(true))
        qCWarning(lcAlsa, "Audio device thread runs at normal priority: %s", std::strerror(error));
    return false;
}

// Sets period and buffer (periods x period) near the wanted sizes and installs the parameters.
// Returns 0 or the ALSA error code; period and buffer then hold what the device chose.
int installPeriod(snd_pcm_t *pcm, snd_pcm_hw_params_t *params, snd_pcm_uframes_t *period,
                  snd_pcm_uframes_t *buffer, unsigned periods)
{
    int dir = 0;
    int error = snd_pcm_hw_params_set_period_size_near(pcm, params, period, &dir);
    if (error < 0)
        return error;
    *buffer = *period * periods;
    error = snd_pcm_hw_params_set_buffer_size_near(pcm, params, buffer);
    if (error < 0)
        return error;
    error = snd_pcm_hw_params(pcm, params);
    if (error < 0)
        return error;
    snd_pcm_hw_params_get_period_size(params, period, &dir);
    snd_pcm_hw_params_get_buffer_size(params, buffer);
    return 0;
}

qint64 monotonicNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void lowerPriority()
{
    sched_param param{};
    pthread_setschedparam(pthread_self(), SCHED_OTHER, &param);
}

} // namespace

struct AlsaBackend::Stream
{
    snd_pcm_t *pcm = nullptr;
    int channels = 2;
    SampleFormat format = Float32;
    snd_pcm_uframes_t periodFrames = 0;
    snd_pcm_uframes_t bufferFrames = 0;
    snd_pcm_uframes_t prefillFrames = 0;
    qint64 latencyFrames = 0;
    bool restarted = false;
    // Pacing of shared mode.
    double level = 0;    // smoothed buffer level before a write, frames
    double target = -1;  // the level to keep; negative while the stream settles
    int settled = 0;     // settling ticks in which the device took data
    double settledSum = 0;
    double settledDelaySum = 0;
    snd_pcm_sframes_t expectedAvail = 0;
    snd_pcm_sframes_t owed = 0;  // frames of earlier ticks that did not fit
    std::vector<float> samples;
    std::vector<char> bytes;
    bool realTime = false;

    ~Stream()
    {
        if (pcm) {
            snd_pcm_drop(pcm);
            snd_pcm_close(pcm);
        }
        if (realTime)
            lowerPriority();
    }
};

AlsaBackend::AlsaBackend(LocalAudioEngine *engine, bool exclusive) : m_engine(engine), m_exclusive(exclusive)
{
}

AlsaBackend::~AlsaBackend()
{
    stop();
}

void AlsaBackend::setOfferedFormatsForTesting(unsigned mask)
{
    offeredFormats = mask;
}

void AlsaBackend::setWrittenTapForTesting(std::function<void(const float *, long, int)> tap)
{
    writtenTap = std::move(tap);
}

int AlsaBackend::bytesPerSample(SampleFormat format)
{
    return format == Int16 ? 2 : 4;
}

void AlsaBackend::convert(SampleFormat format, const float *in, void *out, qsizetype count)
{
    switch (format) {
    case Float32: {
        auto *o = static_cast<float *>(out);
        for (qsizetype i = 0; i < count; ++i)
            o[i] = std::clamp(in[i], -1.0f, 1.0f);
        break;
    }
    case Int32: {
        auto *o = static_cast<qint32 *>(out);
        for (qsizetype i = 0; i < count; ++i)
            o[i] = qint32(std::lrint(double(std::clamp(in[i], -1.0f, 1.0f)) * 2147483647.0));
        break;
    }
    case Int24In32: {
        auto *o = static_cast<qint32 *>(out);
        for (qsizetype i = 0; i < count; ++i)
            o[i] = qint32(std::lrint(double(std::clamp(in[i], -1.0f, 1.0f)) * 8388607.0));
        break;
    }
    case Int16: {
        auto *o = static_cast<qint16 *>(out);
        for (qsizetype i = 0; i < count; ++i)
            o[i] = qint16(std::lrintf(std::clamp(in[i], -1.0f, 1.0f) * 32767.0f));
        break;
    }
    }
}

bool AlsaBackend::open(const QString &device, int bufferFrames, QString *error)
{
    stop();
    std::promise<QString> promise;
    std::future<QString> result = promise.get_future();
    m_stopRequested = false;
    m_thread = std::thread(&AlsaBackend::run, this, device, bufferFrames, std::move(promise));
    const QString text = result.get();
    if (text.isEmpty())
        return true;
    m_thread.join();
    if (error)
        *error = text;
    return false;
}

void AlsaBackend::stop()
{
    m_stopRequested = true;
    if (m_thread.joinable())
        m_thread.join();
}

void AlsaBackend::run(QString device, int requestedFrames, std::promise<QString> result)
{
    Stream stream;
    const QString failure = setUp(stream, device, requestedFrames);
    if (!failure.isEmpty()) {
        result.set_value(failure);
        return;
    }
    result.set_value(QString());
    play(stream);
}

QString AlsaBackend::setUp(Stream &stream, const QString &device, int requestedFrames)
{
    if (device.isEmpty())
        return deviceNotFound();
    // Before the device is opened: a plug-in that talks to a sound server (pulse) moves the audio
    // through a thread of its own, created here and inheriting this thread's real-time priority. At
    // normal priority a busy machine starves it, the server runs dry and the sound has gaps.
    stream.realTime = raisePriority();
    const int opened = snd_pcm_open(&stream.pcm, device.toLocal8Bit().constData(), SND_PCM_STREAM_PLAYBACK,
                                    SND_PCM_NONBLOCK);
    if (opened < 0) {
        stream.pcm = nullptr;
        if (opened == -EBUSY)
            return deviceInUse();
        if (opened == -ENOENT || opened == -ENODEV || opened == -ENXIO)
            return deviceNotFound();
        return QStringLiteral("Audio device cannot be opened");
    }

    const QString negotiated = m_exclusive ? negotiateExclusive(stream, requestedFrames)
                                           : negotiateShared(stream, requestedFrames);
    if (!negotiated.isEmpty())
        return negotiated;

    snd_pcm_sw_params_t *sw;
    snd_pcm_sw_params_alloca(&sw);
    if (snd_pcm_sw_params_current(stream.pcm, sw) < 0
        || snd_pcm_sw_params_set_avail_min(stream.pcm, sw, stream.periodFrames) < 0
        || snd_pcm_sw_params_set_start_threshold(stream.pcm, sw, stream.bufferFrames) < 0
        || snd_pcm_sw_params_set_stop_threshold(stream.pcm, sw, stream.bufferFrames) < 0
        || snd_pcm_sw_params(stream.pcm, sw) < 0)
        return QStringLiteral("Audio device has no render service");

    m_channels = stream.channels;
    m_bufferFrames = int(stream.bufferFrames);
    m_format = stream.format;
    m_description = QStringLiteral("%1 · %2 Hz · %3 ch · %4 frames")
                        .arg(m_exclusive ? QStringLiteral("ALSA exclusive") : QStringLiteral("ALSA shared low-latency"))
                        .arg(rate)
                        .arg(stream.channels)
                        .arg(stream.bufferFrames);

    // Never more than the whole buffer is rendered at once.
    const qsizetype values = qsizetype(stream.bufferFrames) * stream.channels;
    stream.samples.assign(size_t(values), 0.0f);
    stream.bytes.assign(size_t(values * bytesPerSample(stream.format)), 0);

    // Exclusive mode starts on a full buffer of silence, so that the first render already runs one
    // period ahead; shared mode one period short of full, the level its writes keep.
    stream.prefillFrames = m_exclusive ? stream.bufferFrames : stream.bufferFrames - stream.periodFrames;
    if (!restart(stream))
        return QStringLiteral("Audio device did not start");

    // A period is rendered when one is free: what the device then holds, and what it holds beyond
    // what was written (a sound server's own queue, for instance), is the latency. Shared mode
    // measures it again once the stream has settled.
    snd_pcm_sframes_t delay = 0;
    stream.latencyFrames = qint64(stream.prefillFrames - stream.periodFrames);
    if (snd_pcm_delay(stream.pcm, &delay) == 0 && delay > snd_pcm_sframes_t(stream.prefillFrames))
        stream.latencyFrames += delay - snd_pcm_sframes_t(stream.prefillFrames);
    return QString();
}

bool AlsaBackend::restart(Stream &stream)
{
    return refill(stream, stream.prefillFrames);
}

bool AlsaBackend::refill(Stream &stream, snd_pcm_uframes_t frames)
{
    std::fill(stream.bytes.begin(), stream.bytes.end(), char(0));
    frames = std::min(frames, stream.bufferFrames);
    snd_pcm_uframes_t filled = 0;
    while (filled < frames) {
        const snd_pcm_sframes_t n = snd_pcm_writei(stream.pcm, stream.bytes.data(), frames - filled);
        if (n == -EAGAIN)
            break;
        if (n < 0)
            return false;
        filled += snd_pcm_uframes_t(n);
    }
    return snd_pcm_state(stream.pcm) == SND_PCM_STATE_RUNNING || snd_pcm_start(stream.pcm) == 0;
}

QString AlsaBackend::negotiateExclusive(Stream &stream, int requestedFrames)
{
    snd_pcm_t *pcm = stream.pcm;
    snd_pcm_hw_params_t *params;
    snd_pcm_hw_params_alloca(&params);

    const int natural = naturalChannels(pcm, true);
    bool found = false;
    for (int candidate : {natural, 2}) {
        for (int f = 0; f < formatCount && !found; ++f) {
            if (!(offeredFormats.load() & (1u << f)))
                continue;
            found = snd_pcm_hw_params_any(pcm, params) >= 0
                    && snd_pcm_hw_params_set_rate_resample(pcm, params, 0) >= 0
                    && snd_pcm_hw_params_set_access(pcm, params, SND_PCM_ACCESS_RW_INTERLEAVED) >= 0
                    && snd_pcm_hw_params_set_channels(pcm, params, unsigned(candidate)) >= 0
                    && snd_pcm_hw_params_set_format(pcm, params, alsaFormats[f]) >= 0
                    && snd_pcm_hw_params_set_rate(pcm, params, rate, 0) >= 0;
            if (found) {
                stream.channels = candidate;
                stream.format = SampleFormat(f);
            }
        }
        if (found)
            break;
    }
    if (!found)
        return QStringLiteral("Device does not accept 48 kHz in exclusive mode");

    // The device's smallest period, or the requested one; the buffer holds two periods. ALSA
    // aligns both to what the device can do.
    snd_pcm_uframes_t period = 0;
    int dir = 0;
    snd_pcm_hw_params_get_period_size_min(params, &period, &dir);
    period = std::max(period, smallestPeriod);
    if (requestedFrames > 0)
        period = std::max(period, snd_pcm_uframes_t(requestedFrames));
    const int error = installPeriod(pcm, params, &period, &stream.bufferFrames, 2);
    if (error == -EBUSY)
        return deviceInUse();
    if (error < 0)
        return rejected(error);
    stream.periodFrames = period;
    return QString();
}

QString AlsaBackend::negotiateShared(Stream &stream, int requestedFrames)
{
    snd_pcm_t *pcm = stream.pcm;
    snd_pcm_hw_params_t *params;
    snd_pcm_hw_params_alloca(&params);
    stream.channels = naturalChannels(pcm, isDirectName(QString::fromLocal8Bit(snd_pcm_name(pcm))));
    stream.format = Float32;
    const auto base = [&]() {
        return snd_pcm_hw_params_any(pcm, params) >= 0
               && snd_pcm_hw_params_set_access(pcm, params, SND_PCM_ACCESS_RW_INTERLEAVED) >= 0
               && snd_pcm_hw_params_set_channels(pcm, params, unsigned(stream.channels)) >= 0
               && snd_pcm_hw_params_set_format(pcm, params, SND_PCM_FORMAT_FLOAT_LE) >= 0;
    };

    // Low latency: 48 kHz float as the device takes it, with a small period and eight of them
    // buffered: the writes keep seven of them filled, and the eighth takes up the jitter.
    int error = -EINVAL;
    if (base() && snd_pcm_hw_params_set_rate_resample(pcm, params, 0) >= 0
        && snd_pcm_hw_params_set_rate(pcm, params, rate, 0) >= 0) {
        snd_pcm_uframes_t lowest = 0, highest = 0;
        int dir = 0;
        snd_pcm_hw_params_get_period_size_min(params, &lowest, &dir);
        snd_pcm_hw_params_get_period_size_max(params, &highest, &dir);
        snd_pcm_uframes_t period = requestedFrames > 0 ? snd_pcm_uframes_t(requestedFrames) : sharedDefaultPeriod;
        period = std::clamp(period, std::max(lowest, smallestPeriod), std::max(highest, smallestPeriod));
        error = installPeriod(pcm, params, &period, &stream.bufferFrames, 8);
        if (error == 0) {
            stream.periodFrames = period;
            return QString();
        }
    }
    if (error == -EBUSY)
        return deviceInUse();

    // Otherwise the device's own period and buffer, with its own rate conversion.
    if (!base())
        return rejected(error);
    snd_pcm_hw_params_set_rate_resample(pcm, params, 1);
    error = snd_pcm_hw_params_set_rate(pcm, params, rate, 0);
    if (error >= 0)
        error = snd_pcm_hw_params(pcm, params);
    if (error == -EBUSY)
        return deviceInUse();
    if (error < 0)
        return rejected(error);
    int dir = 0;
    snd_pcm_hw_params_get_period_size(params, &stream.periodFrames, &dir);
    snd_pcm_hw_params_get_buffer_size(params, &stream.bufferFrames);
    return QString();
}

void AlsaBackend::play(Stream &stream)
{
    if (m_exclusive)
        playOnDeviceEvents(stream);
    else
        playOnTimer(stream);
}

bool AlsaBackend::renderAndWrite(Stream &stream, snd_pcm_sframes_t frames)
{
    m_engine->render(stream.samples.data(), int(frames), stream.channels, stream.latencyFrames);
    convert(stream.format, stream.samples.data(), stream.bytes.data(), qsizetype(frames) * stream.channels);
    const qsizetype bytesPerFrame = qsizetype(stream.channels) * bytesPerSample(stream.format);
    const char *data = stream.bytes.data();
    const float *samples = stream.samples.data();
    while (frames > 0) {
        const snd_pcm_sframes_t written = snd_pcm_writei(stream.pcm, data, snd_pcm_uframes_t(frames));
        if (written == -EAGAIN)
            return true;
        if (written < 0)
            return recover(stream, written);
        if (writtenTap)
            writtenTap(samples, long(written), stream.channels);
        frames -= written;
        data += written * bytesPerFrame;
        samples += written * stream.channels;
    }
    return true;
}

bool AlsaBackend::writeSilence(Stream &stream, long frames)
{
    std::fill(stream.bytes.begin(), stream.bytes.end(), char(0));
    const snd_pcm_sframes_t written = snd_pcm_writei(stream.pcm, stream.bytes.data(), snd_pcm_uframes_t(frames));
    return written >= 0 || written == -EAGAIN || recover(stream, written);
}

// A device opened as it is wakes the thread once per period, on its own clock: one period is
// rendered per wake-up.
void AlsaBackend::playOnDeviceEvents(Stream &stream)
{
    while (!m_stopRequested.load()) {
        const int ready = snd_pcm_wait(stream.pcm, waitMs);
        if (ready < 0 && !recover(stream, ready))
            return;
        if (ready <= 0)
            continue;
        const snd_pcm_sframes_t avail = snd_pcm_avail_update(stream.pcm);
        if (avail < 0) {
            if (!recover(stream, avail))
                return;
            continue;
        }
        if (avail >= snd_pcm_sframes_t(stream.periodFrames) && !renderAndWrite(stream, snd_pcm_sframes_t(stream.periodFrames)))
            return;
    }
}

// A sound server's wake-ups come late by several milliseconds at times, and the engine reads the
// deck clock when it is called: rendering on them would turn that jitter into drift corrections.
// So the thread renders on ticks of the monotonic clock, one period per tick, and the buffer takes
// up the server's jitter. Ticks that the thread itself slept through are rendered in one call.
void AlsaBackend::playOnTimer(Stream &stream)
{
    const auto period = snd_pcm_sframes_t(stream.periodFrames);
    const qint64 periodNs = qint64(period) * 1000000000 / rate;
    const qint64 bufferTicks = qint64(stream.bufferFrames / stream.periodFrames);
    qint64 startNs = monotonicNs();
    qint64 tick = 0;
    stream.restarted = true;
    while (!m_stopRequested.load()) {
        const qint64 dueNs = startNs + (tick + 1) * periodNs;
        const timespec due{time_t(dueNs / 1000000000), long(dueNs % 1000000000)};
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr);
        const qint64 elapsed = (monotonicNs() - startNs) / periodNs;
        qint64 ticks = elapsed - tick;
        tick = elapsed;
        bool lost = false;
        if (ticks > bufferTicks) {
            // The thread stalled for longer than the buffer holds: what it missed is lost anyway,
            // and the stream goes on from where the clock is now.
            qCWarning(lcAlsa, "Render thread overslept %lld periods", ticks);
            ticks = 1;
            m_engine->streamRestarted();
            lost = true;
        }

        snd_pcm_sframes_t avail = snd_pcm_avail_update(stream.pcm);
        if (avail < 0 && !recover(stream, avail))
            return;
        if (stream.restarted) {
            stream.restarted = false;
            m_engine->streamRestarted();
            stream.target = -1;
            stream.settled = 0;
            stream.settledSum = 0;
            stream.settledDelaySum = 0;
            stream.owed = 0;
            stream.expectedAvail = snd_pcm_sframes_t(stream.bufferFrames - stream.prefillFrames);
            continue;
        }
        // After a stall the buffer is refilled with silence to its level at once; topping it up
        // by one frame a tick would take seconds, each frame an engine correction.
        if (lost && stream.target >= 0) {
            const auto missingLevel = std::llround(stream.target) - (snd_pcm_sframes_t(stream.bufferFrames) - avail);
            stream.owed = 0;
            if (missingLevel > 0 && avail >= missingLevel) {
                if (!writeSilence(stream, long(missingLevel)))
                    return;
                avail -= missingLevel;
            }
        }
        const bool ok = stream.target < 0 ? settle(stream, avail) : renderTicks(stream, avail, ticks);
        if (!ok)
            return;
    }
}

// Until the device takes data steadily (a sound server may hold a new stream back for a while),
// silence keeps the buffer at its starting level. The mean level before a write over the second
// half of the settling ticks becomes the level to keep, and the mean delay the latency.
bool AlsaBackend::settle(Stream &stream, long avail)
{
    constexpr int settleTicks = 64;
    const auto period = snd_pcm_sframes_t(stream.periodFrames);
    const auto buffer = snd_pcm_sframes_t(stream.bufferFrames);
    const auto prefill = snd_pcm_sframes_t(stream.prefillFrames);
    snd_pcm_sframes_t delay = 0;
    if (avail > stream.expectedAvail && ++stream.settled > settleTicks / 2) {
        stream.settledSum += double(buffer - avail);
        stream.settledDelaySum += snd_pcm_delay(stream.pcm, &delay) == 0 ? double(delay) : double(buffer - avail);
    }
    if (stream.settled >= settleTicks) {
        const double level = stream.settledSum / (settleTicks / 2);
        if (level >= double(period) && level <= double(buffer - period)) {
            stream.target = stream.level = level;
            stream.latencyFrames = std::llround(stream.settledDelaySum / (settleTicks / 2));
            qCDebug(lcAlsa, "Shared stream settled: level %.0f frames, latency %lld frames, buffer %lu",
                    level, stream.latencyFrames, stream.bufferFrames);
            return true;
        }
        // Settled too close to empty or full: start again.
        if (snd_pcm_drop(stream.pcm) < 0 || snd_pcm_prepare(stream.pcm) < 0 || !restart(stream)) {
            reportDeviceLoss(QStringLiteral("Audio device was removed"));
            return false;
        }
        stream.restarted = true;
        return true;
    }
    // Back up to the starting level, also after ticks that the thread overslept: topping up by one
    // period a tick would let the level sink on a busy machine and settle the stream near empty.
    const snd_pcm_sframes_t silence = std::clamp(prefill - (buffer - avail), snd_pcm_sframes_t(0), prefill);
    stream.expectedAvail = avail - silence;
    return silence <= 0 || writeSilence(stream, silence);
}

// One period per tick, and what earlier ticks could not write as soon as there is room. Only a
// lasting change of the level (the device running at another rate than the clock) changes how
// much is rendered, by one frame per tick.
bool AlsaBackend::renderTicks(Stream &stream, long avail, qint64 ticks)
{
    const auto period = snd_pcm_sframes_t(stream.periodFrames);
    const auto buffer = snd_pcm_sframes_t(stream.bufferFrames);
    stream.level += (double(buffer - avail) - stream.level) / 64.0;
    snd_pcm_sframes_t frames = ticks * period + stream.owed;
    if (stream.level < stream.target - double(period))
        frames += 1;
    else if (stream.level > stream.target + double(period))
        frames -= 1;
    const snd_pcm_sframes_t fits = std::min(frames, avail);
    stream.owed = std::clamp(frames - fits, snd_pcm_sframes_t(0), buffer);
    return fits <= 0 || renderAndWrite(stream, fits);
}

// An underrun (or a suspend that the device recovers from) goes on after a prepare. In exclusive
// mode the next periods fill the buffer and so restart the stream. In shared mode the thread fills
// the buffer with silence up to the level it keeps and starts it again, once: the ticks, the level
// and the latency stay, so the engine goes on along the same timeline and the sound comes out as
// far behind the clock as before, with only the frames the device missed lost. A stream that had
// not settled yet starts settling again. Anything else means the device is gone.
bool AlsaBackend::recover(Stream &stream, long error)
{
    qCWarning(lcAlsa, "Playback stream broke off (%s); preparing it again", snd_strerror(int(error)));
    bool recovered = false;
    if (error == -EPIPE)
        recovered = snd_pcm_prepare(stream.pcm) == 0;
    else if (!isLoss(error))
        recovered = snd_pcm_recover(stream.pcm, int(error), 1) == 0;
    if (recovered && !m_exclusive && stream.target >= 0) {
        recovered = refill(stream, snd_pcm_uframes_t(std::llround(stream.target)));
        m_engine->streamRestarted();
    } else if (recovered && !m_exclusive) {
        recovered = restart(stream);
        stream.restarted = true;
    } else if (recovered) {
        m_engine->streamRestarted();
    }
    if (!recovered)
        reportDeviceLoss(QStringLiteral("Audio device was removed"));
    return recovered;
}

void AlsaBackend::reportDeviceLoss(const QString &text)
{
    m_engine->postDeviceLoss(text);
}

QList<AudioDeviceInfo> AlsaBackend::renderDevices(int backendType)
{
    const bool exclusive = backendType == LocalAudioEngine::ExclusiveDevice;
    QList<AudioDeviceInfo> list;
    void **hints = nullptr;
    if (snd_device_name_hint(-1, "pcm", &hints) < 0 || !hints)
        return list;
    for (void **hint = hints; *hint; ++hint) {
        char *name = snd_device_name_get_hint(*hint, "NAME");
        char *description = snd_device_name_get_hint(*hint, "DESC");
        char *direction = snd_device_name_get_hint(*hint, "IOID");
        const QString id = QString::fromLocal8Bit(name ? name : "");
        const bool playback = !direction || std::strcmp(direction, "Output") == 0;
        const bool wanted = exclusive ? id.startsWith(QLatin1String("hw:"))
                                      : (id == QLatin1String("default") || id == QLatin1String("pulse")
                                         || id.startsWith(QLatin1String("plughw:")));
        if (playback && wanted) {
            const QString text = QString::fromLocal8Bit(description ? description : name);
            const QStringList lines = text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
            list.append(AudioDeviceInfo{backendType, id, lines.join(QStringLiteral(", ")),
                                        channelsOfDevice(id, exclusive)});
        }
        free(name);
        free(description);
        free(direction);
    }
    snd_device_name_free_hint(hints);
    return list;
}
