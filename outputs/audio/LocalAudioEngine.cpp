#include "outputs/audio/LocalAudioEngine.h"

#include "engine/NativeChannel.h"
#include "outputs/aes67/Aes67Addresses.h"
#include "outputs/aes67/Aes67Backend.h"
#include "outputs/audio/AlsaBackend.h"
#include "outputs/audio/AudioOutputBackend.h"
#include "outputs/audio/TestBackend.h"

#include <QJsonArray>
#include <QMetaObject>
#include <algorithm>
#include <chrono>
#include <cstdlib>

LocalAudioEngine::EngineRoute::EngineRoute(const EngineRoute &other)
    : guarded(other.guarded),
      deck(other.deck),
      firstChannel(other.firstChannel),
      readPosition(other.readPosition),
      suspectLate(other.suspectLate),
      delayUs(other.delayUs.load(std::memory_order_relaxed))
{
}

LocalAudioEngine::EngineRoute &LocalAudioEngine::EngineRoute::operator=(const EngineRoute &other)
{
    guarded = other.guarded;
    deck = other.deck;
    firstChannel = other.firstChannel;
    readPosition = other.readPosition;
    suspectLate = other.suspectLate;
    delayUs.store(other.delayUs.load(std::memory_order_relaxed), std::memory_order_relaxed);
    return *this;
}

LocalAudioEngine::LocalAudioEngine(QObject *parent)
    : QObject(parent), m_scratch(2 * pullFrames, 0.0f)
{
}

LocalAudioEngine::~LocalAudioEngine()
{
    stop();
}

std::unique_ptr<AudioOutputBackend> LocalAudioEngine::makeBackend(int backendType)
{
    switch (backendType) {
    case ExclusiveDevice:
        return std::make_unique<AlsaBackend>(this, true);
    case SharedDevice:
        return std::make_unique<AlsaBackend>(this, false);
    case TestDevice:
        return std::make_unique<TestBackend>(this);
    case Aes67Network:
        return std::make_unique<Aes67Backend>(this);
    default:
        return nullptr;
    }
}

bool LocalAudioEngine::start(int backendType, const QString &device, int bufferFrames)
{
    if (m_backend) {
        m_running = false;
        m_backend->stop();
        m_backend.reset();
    }
    m_running = false;
    m_channels = 0;
    m_backendGeneration.fetch_add(1);
    emit stateChanged();
    m_error.clear();

    std::unique_ptr<AudioOutputBackend> backend = makeBackend(backendType);

    m_callbacks = 0;
    m_lateSamples = 0;
    m_driftCorrections = 0;
    m_reanchors = 0;
    m_headroomUs = initialHeadroomUs;
    m_renderMsMax = 0.0;
    m_pacing.reset();
    {
        std::lock_guard lock(m_routesMutex);
        for (EngineRoute &route : m_routes) {
            route.readPosition = -1;
            route.suspectLate = 0;
        }
    }

    if (!backend) {
        m_error = tr("Unknown audio backend type %1").arg(backendType);
        emit stateChanged();
        return false;
    }

    m_running = true;
    if (backend->open(device, bufferFrames, &m_error)) {
        m_channels = backend->channels();
        m_bufferFrames = backend->bufferFrames();
        m_backend = std::move(backend);
        emit stateChanged();
        return true;
    }
    m_running = false;
    emit stateChanged();
    backend.reset();
    return false;
}

void LocalAudioEngine::stop()
{
    m_running = false;
    if (m_backend) {
        m_backend->stop();
        m_backend.reset();
    }
    m_channels = 0;
    emit stateChanged();
}

void LocalAudioEngine::setRoutes(const QList<LocalAudioRoute> &routes)
{
    std::vector<EngineRoute> fresh;
    fresh.reserve(size_t(routes.size()));
    for (const LocalAudioRoute &route : routes) {
        if (route.deck.isNull())
            continue;
        EngineRoute &r = fresh.emplace_back();
        r.guarded = route.deck;
        r.deck = route.deck.data();
        r.firstChannel = std::max(route.firstChannel, 0);
    }

    std::lock_guard listLock(m_listMutex);
    {
        std::lock_guard lock(m_routesMutex);
        for (EngineRoute &route : fresh) {
            for (const EngineRoute &old : m_routes) {
                if (old.deck == route.deck && old.firstChannel == route.firstChannel) {
                    route.readPosition = old.readPosition;
                    route.delayUs.store(old.delayUs.load());
                }
            }
        }
        m_routes.swap(fresh);
    }
    // The old list is freed here, after render() may use the lock again.
}

QJsonObject LocalAudioEngine::state() const
{
    // Only the list mutex: the routes lock belongs to render(), and a state read must never cost
    // the device a period.
    QJsonArray routes;
    {
        std::lock_guard listLock(m_listMutex);
        for (const EngineRoute &route : m_routes) {
            NativeChannel *deck = route.guarded.data();
            routes.append(QJsonObject{
                {QStringLiteral("first_channel"), route.firstChannel + 1},
                {QStringLiteral("sync_delay_ms"), double(route.delayUs.load()) / 1000.0},
                {QStringLiteral("video_lag_ms"), deck ? double(deckVideoLagUs(deck)) / 1000.0 : -1.0},
            });
        }
    }
    const double frameMs = 1000.0 / sampleRate;
    return QJsonObject{
        {QStringLiteral("running"), m_running.load()},
        {QStringLiteral("device"), m_backend ? m_backend->description() : QString()},
        {QStringLiteral("channels"), m_channels.load()},
        {QStringLiteral("buffer_frames"), double(m_bufferFrames.load())},
        {QStringLiteral("buffer_ms"), double(m_bufferFrames.load()) * frameMs},
        {QStringLiteral("device_latency_ms"), double(m_deviceLatencyFrames.load()) * frameMs},
        {QStringLiteral("headroom_ms"), double(m_headroomUs.load()) / 1000.0},
        {QStringLiteral("callbacks"), double(m_callbacks.load())},
        {QStringLiteral("late_samples"), double(m_lateSamples.load())},
        {QStringLiteral("drift_corrections"), double(m_driftCorrections.load())},
        {QStringLiteral("reanchors"), double(m_reanchors.load())},
        {QStringLiteral("render_ms_max"), m_renderMsMax.load()},
        {QStringLiteral("routes"), routes},
        {QStringLiteral("error"), m_error},
        {QStringLiteral("network"), m_backend ? m_backend->status() : QJsonObject()},
    };
}

QList<AudioDeviceInfo> LocalAudioEngine::devices(int backendType)
{
    switch (backendType) {
    case ExclusiveDevice:
    case SharedDevice:
        return AlsaBackend::renderDevices(backendType);
    case TestDevice:
        return {AudioDeviceInfo{TestDevice, QStringLiteral("8"), QStringLiteral("Test (no device)"), 8}};
    case Aes67Network:
        return aes67Interfaces();
    default:
        return {};
    }
}

void LocalAudioEngine::render(float *out, int frames, int channels, qint64 deviceLatencyFrames)
{
    const auto started = std::chrono::steady_clock::now();
    if (frames <= 0 || channels <= 0 || !out)
        return;
    std::fill(out, out + qsizetype(frames) * channels, 0.0f);
    m_callbacks.fetch_add(1, std::memory_order_relaxed);
    m_deviceLatencyFrames.store(deviceLatencyFrames, std::memory_order_relaxed);
    if (!m_running.load())
        return;
    // Every running call counts, also one that plays silence: the device consumed its frames.
    const qint64 lateFrames = callLateFrames(frames);

    std::unique_lock lock(m_routesMutex, std::try_to_lock);
    if (!lock.owns_lock())
        return;
    if (m_reanchorPending) {
        m_reanchorPending = false;
        for (EngineRoute &route : m_routes)
            route.readPosition = -1;
    }

    const qint64 deviceLatencyUs = deviceLatencyFrames * 1000000 / sampleRate;
    for (EngineRoute &route : m_routes) {
        if (!route.deck || route.firstChannel + 2 > channels)
            continue;
        renderRoute(route, out, frames, channels, deviceLatencyUs, lateFrames);
    }

    float *const end = out + qsizetype(frames) * channels;
    for (float *v = out; v != end; ++v)
        *v = std::clamp(*v, -1.0f, 1.0f);

    // Only this thread raises the maximum, so a plain compare and store is enough.
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
    if (ms > m_renderMsMax.load(std::memory_order_relaxed))
        m_renderMsMax.store(ms, std::memory_order_relaxed);
}

qint64 LocalAudioEngine::callLateFrames(int frames)
{
    if (m_callClockForTesting)
        return m_pacing.lateFrames(m_callClockForTesting(), frames);
    if (m_deckClockForTesting)
        return 0;
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return m_pacing.lateFrames(std::chrono::duration_cast<std::chrono::microseconds>(now).count(), frames);
}

void LocalAudioEngine::renderRoute(EngineRoute &route, float *out, int frames, int channels,
                                   qint64 deviceLatencyUs, qint64 lateFrames)
{
    NativeChannel *deck = route.deck;
    qint64 target = offsetUs.load(std::memory_order_relaxed) - deviceLatencyUs;
    const qint64 lag = deckVideoLagUs(deck);
    if (syncToVideo.load(std::memory_order_relaxed) && lag >= 1)
        target += lag;
    const qint64 delay = std::max(m_headroomUs.load(std::memory_order_relaxed), target);
    route.delayUs.store(delay, std::memory_order_relaxed);
    m_lastDelayUs.store(delay, std::memory_order_relaxed);

    const qint64 clockFrames = deckClockUs(deck) * 48 / 1000;
    // Where the stream is now: a late call's frames belong to the time it should have come.
    const qint64 want = clockFrames - delay * sampleRate / 1000000 - lateFrames;
    qint64 &position = route.readPosition;
    if (position < 0 || std::abs(want - position) > reanchorFrames) {
        position = want;
        m_reanchors.fetch_add(1, std::memory_order_relaxed);
    } else if (want - position > nudgeFrames) {
        ++position;
        m_driftCorrections.fetch_add(1, std::memory_order_relaxed);
    } else if (position - want > nudgeFrames) {
        --position;
        m_driftCorrections.fetch_add(1, std::memory_order_relaxed);
    }

    const int first = route.firstChannel;
    for (int done = 0; done < frames;) {
        const int chunk = std::min(frames - done, pullFrames);
        int missing = 0;
        deck->mixProgramAudio(position, chunk, m_scratch.data(), &missing);
        judgeLateness(route, chunk, missing);
        const float *in = m_scratch.data();
        float *o = out + qsizetype(done) * channels + first;
        for (int i = 0; i < chunk; ++i, in += 2, o += channels) {
            o[0] += in[0];
            o[1] += in[1];
        }
        position += chunk;
        done += chunk;
    }
}

// Audio that reaches the engine too late for its position leaves the end of a chunk empty, and the
// headroom grows so that later periods play further behind the clock. But a Program whose audio
// starts within a chunk (a cue starting) leaves its beginning empty, and one whose audio ends
// within a chunk (a cue ending) looks late until the next chunk shows nothing follows: neither is
// late, and counting them would raise the latency by 2 ms at every start and end of a cue.
void LocalAudioEngine::judgeLateness(EngineRoute &route, int chunk, int missing)
{
    if (route.suspectLate > 0) {
        if (missing < chunk) {
            m_lateSamples.fetch_add(quint64(route.suspectLate), std::memory_order_relaxed);
            m_headroomUs.store(std::min(m_headroomUs.load(std::memory_order_relaxed) + headroomStepUs, maxHeadroomUs),
                               std::memory_order_relaxed);
        }
        route.suspectLate = 0;
    }
    if (missing > 0 && missing < chunk) {
        float last[2];
        int lastMissing = 0;
        route.deck->mixProgramAudio(route.readPosition + chunk - 1, 1, last, &lastMissing);
        if (lastMissing > 0)
            route.suspectLate = missing;
    }
}

qint64 LocalAudioEngine::deckClockUs(NativeChannel *deck) const
{
    return m_deckClockForTesting ? m_deckClockForTesting(deck) : deck->clockUs();
}

qint64 LocalAudioEngine::deckVideoLagUs(NativeChannel *deck) const
{
    return m_videoLagForTesting ? m_videoLagForTesting(deck) : deck->videoLagUs();
}

void LocalAudioEngine::setDeckTimingForTesting(std::function<qint64(NativeChannel *)> clockUs,
                                               std::function<qint64(NativeChannel *)> videoLagUs)
{
    m_deckClockForTesting = std::move(clockUs);
    m_videoLagForTesting = std::move(videoLagUs);
}

void LocalAudioEngine::postDeviceLoss(const QString &text)
{
    // The engine is the context: a loss reported while the engine is being destroyed is dropped.
    const quint64 generation = m_backendGeneration.load();
    QMetaObject::invokeMethod(
        this, [this, generation, text]() { handleDeviceLoss(generation, text); }, Qt::QueuedConnection);
}

void LocalAudioEngine::handleDeviceLoss(quint64 generation, const QString &text)
{
    if (!m_backend || generation != m_backendGeneration.load())
        return;
    stop();
    m_error = text;
    emit stateChanged();
}
