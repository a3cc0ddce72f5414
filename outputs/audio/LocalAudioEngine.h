#pragma once

#include "outputs/audio/AudioDeviceInfo.h"
#include "outputs/audio/LocalAudioRoute.h"
#include "outputs/audio/RenderPacing.h"

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class AudioOutputBackend;
class NativeChannel;

// Plays every Program's sound through one low-latency output and keeps it in step with the
// Program's pictures. The engine owns at most one backend; the backend's real-time thread calls
// render() once per device period, and render() pulls each routed deck's program audio at a
// position that trails the deck clock by the route's delay (operator offset, device latency and
// the deck's video lag), re-anchoring or nudging the read position so that it stays locked to the
// clock. All audio is 48 kHz; positions are 48 kHz frames of a deck's clock. A call that comes late
// (and the quick calls that catch up after it) is judged against the deck clock at the time it
// should have come (RenderPacing), so a backend's catch-up never turns into corrections.
//
// Everything but render() runs on the GUI thread.
class LocalAudioEngine : public QObject
{
    Q_OBJECT
public:
    // Backend types of start() and devices().
    enum BackendType {
        ExclusiveDevice = 0,  // a hw: device opened directly at 48 kHz
        SharedDevice = 1,     // a mixing device (default, plughw:, pulse) in low-latency mode
        TestDevice = 3,       // no device: whoever calls render() drives the engine
        Aes67Network = 4,     // AES67 multicast sender
    };

    static constexpr int sampleRate = 48000;
    static constexpr qint64 initialHeadroomUs = 10000;
    static constexpr qint64 maxHeadroomUs = 120000;
    static constexpr qint64 headroomStepUs = 2000;
    static constexpr qint64 reanchorFrames = 2400;
    static constexpr qint64 nudgeFrames = 96;
    static constexpr int pullFrames = 8192;

    explicit LocalAudioEngine(QObject *parent = nullptr);
    ~LocalAudioEngine() override;

    // Replaces any running backend by a new one of the given type and opens it on `device` (an id
    // from devices()) with `bufferFrames` (<= 0: the backend's choice). Returns whether it opened;
    // on failure errorText() says why.
    bool start(int backendType, const QString &device, int bufferFrames);
    void stop();
    // Replaces the routes; a route that keeps its deck and first channel keeps its read position.
    void setRoutes(const QList<LocalAudioRoute> &routes);
    // The status object shown on the audio page and included in diagnostics. Never makes render()
    // drop a period.
    QJsonObject state() const;
    static QList<AudioDeviceInfo> devices(int backendType);

    // The real-time pull, called by the running backend's thread: fills frames x channels
    // interleaved floats. deviceLatencyFrames is the backend's output latency in 48 kHz frames.
    // Never blocks on the route list and allocates nothing.
    void render(float *out, int frames, int channels, qint64 deviceLatencyFrames);

    bool isRunning() const { return m_running.load(); }
    int channels() const { return m_channels.load(); }
    QString errorText() const { return m_error; }
    qint64 headroomUs() const { return m_headroomUs.load(); }

    // Any thread: hands the loss of the running backend's device to the engine's thread, which
    // stops the engine and keeps `text` as its error.
    void postDeviceLoss(const QString &text);

    // Test seams. Where render() reads a deck's clock and video lag in microseconds
    // (NativeChannel::clockUs() and videoLagUs() when unset); set them only while the engine is
    // stopped. And the routes lock, held by the caller as long as it keeps the returned lock.
    void setDeckTimingForTesting(std::function<qint64(NativeChannel *)> clockUs,
                                 std::function<qint64(NativeChannel *)> videoLagUs);
    // Called by a backend on its render thread when its stream starts again after a gap (an
    // underrun, a restart): the calls that follow do not catch up on time the stream kept, and the
    // next call reads every route from where its clock is now, in one step, rather than by one-frame
    // corrections spread over seconds after the gap.
    void streamRestarted()
    {
        m_pacing.reset();
        m_reanchorPending = true;
    }

    // The clock of render calls in microseconds (steady by default). With deck timing of a test and
    // no call clock, render calls count as on time.
    void setCallClockForTesting(std::function<qint64()> nowUs) { m_callClockForTesting = std::move(nowUs); }
    std::unique_lock<std::mutex> lockRoutesForTesting() { return std::unique_lock(m_routesMutex); }

    std::atomic<bool> syncToVideo{true};
    std::atomic<qint64> offsetUs{0};
    QJsonObject aes67Options;

signals:
    void stateChanged();

private:
    struct EngineRoute
    {
        EngineRoute() = default;
        EngineRoute(const EngineRoute &other);
        EngineRoute &operator=(const EngineRoute &other);

        QPointer<NativeChannel> guarded;
        NativeChannel *deck = nullptr;
        int firstChannel = 0;
        qint64 readPosition = -1;
        // Missing frames at the end of the last chunk: late audio if more follows, else its end.
        qint64 suspectLate = 0;
        // Written by render(), read by state() without the routes lock.
        std::atomic<qint64> delayUs{0};
    };

    std::unique_ptr<AudioOutputBackend> makeBackend(int backendType);
    void handleDeviceLoss(quint64 generation, const QString &text);
    void renderRoute(EngineRoute &route, float *out, int frames, int channels, qint64 deviceLatencyUs,
                     qint64 lateFrames);
    qint64 callLateFrames(int frames);
    void judgeLateness(EngineRoute &route, int chunk, int missing);
    qint64 deckClockUs(NativeChannel *deck) const;
    qint64 deckVideoLagUs(NativeChannel *deck) const;

    std::unique_ptr<AudioOutputBackend> m_backend;
    std::atomic<bool> m_running{false};
    std::atomic<int> m_channels{0};
    QString m_error;
    // Guards the route list with the read positions; render() only ever tries it.
    std::mutex m_routesMutex;
    // Guards the shape of the route list against concurrent non-real-time readers, so that
    // state() never has to touch m_routesMutex.
    mutable std::mutex m_listMutex;
    std::vector<EngineRoute> m_routes;
    std::vector<float> m_scratch;
    std::atomic<quint64> m_callbacks{0};
    std::atomic<quint64> m_lateSamples{0};
    std::atomic<quint64> m_driftCorrections{0};
    std::atomic<quint64> m_reanchors{0};
    std::atomic<qint64> m_headroomUs{initialHeadroomUs};
    std::atomic<qint64> m_lastDelayUs{0};
    std::atomic<qint64> m_bufferFrames{0};
    std::atomic<qint64> m_deviceLatencyFrames{0};
    std::atomic<double> m_renderMsMax{0.0};
    std::function<qint64(NativeChannel *)> m_deckClockForTesting;
    std::function<qint64(NativeChannel *)> m_videoLagForTesting;
    std::function<qint64()> m_callClockForTesting;
    // Only render() and start() (while no backend runs) touch it.
    RenderPacing m_pacing;
    bool m_reanchorPending = false;  // render thread only
    // Counts backends; a loss report that arrives after its backend was replaced is ignored.
    std::atomic<quint64> m_backendGeneration{0};
};
