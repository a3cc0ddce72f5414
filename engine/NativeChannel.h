#pragma once

#include "engine/AudioPacket.h"
#include "engine/Cue.h"
#include "engine/ProgramAudioMixer.h"
#include "platform/AudioDeviceWatcher.h"

#include <QAudioBuffer>
#include <QElapsedTimer>
#include <QImage>
#include <QJsonObject>
#include <QMediaPlayer>
#include <QObject>
#include <QTimer>
#include <QVideoFrame>
#include <array>
#include <atomic>
#include <deque>

class QAudioOutput;
class QPainter;
class QVideoSink;
class AudioBufferOutput;
class MediaPlayer;

// One playback deck: turns Cues into program pictures and sound. Two player slots alternate: one is
// on air, the other receives the next cue (loaded muted, positioned at In, paused on its first
// frame) so that a take costs no load time; during a dissolve or fade the previous slot plays on as
// the outgoing slot. Everything runs on the GUI thread except mixProgramAudio(), which the
// low-latency audio engine calls from its device thread.
class NativeChannel : public QObject
{
    Q_OBJECT
public:
    struct PlayerSlot
    {
        MediaPlayer *player = nullptr;
        QAudioOutput *audioOutput = nullptr;
        QVideoSink *videoSink = nullptr;
        AudioBufferOutput *bufferOutput = nullptr;
        Cue cue;
        QVideoFrame lastFrame;
        int frameCount = 0;
        bool positionedAtIn = false;
        bool realignPending = false;
        qint64 realignTargetUs = 0;
        bool loaded = false;
        float gain = 0.0f;
        qint64 offsetUs = 0;
        qint64 nextTapFrame = -1; // program frame that continues the last tapped buffer
    };

    explicit NativeChannel(bool preview, QObject *parent = nullptr);
    ~NativeChannel() override;

    // Preparation and transport.
    void load(const Cue &cue, bool playAfterTake);
    void prepare(const Cue &cue);
    void loadPath(const QString &path, bool playAfterTake);
    void take();
    void cancelPreparation();
    void clear();
    void seek(qint64 ms);
    void togglePlayback();
    void setPlaybackRate(double rate);
    void setLooping(bool looping);

    // Sound.
    void setVolume(float volume);
    void setMuted(bool muted);
    void setAudioEnabled(bool enabled);
    void setExternalOutput(bool external);
    void setAudioDevice(const QByteArray &id);
    bool isMuted() const;
    // Real-time pull of program audio at 48 kHz frame positions of this deck's timeline; safe to call
    // from the audio engine's device thread.
    void mixProgramAudio(qint64 firstFrame, int frames, float *out, int *missing);

    // State.
    QString source() const;
    bool isPlaying() const;
    qint64 positionMs() const;
    qint64 durationMs() const;
    qint64 outPointMs() const;
    int frameCount() const;
    quint64 publishedFrames() const { return m_publishedFrames; }
    qint64 presentationTimeUs() const;
    qint64 videoLagUs() const { return m_videoLagUs.load(); }
    bool isPreview() const { return m_preview; }
    bool isPreparing() const { return m_preparing; }
    bool isPrepared() const { return m_prepared; }
    bool hasEnded() const { return m_ended; }
    bool looping() const { return m_looping; }
    bool takeWhenReady() const { return m_takeWhenReady; }
    int outgoingSlot() const { return m_outgoingSlot; }
    int activeSlot() const { return m_activeSlot; }
    int preparedSlot() const { return m_preparedSlot; }
    quint64 requestGeneration() const { return m_requestGeneration; }
    quint64 activeGeneration() const { return m_activeGeneration; }
    QString preparationState() const { return m_preparationState; }
    QString preparationError() const { return m_preparationError; }
    QString lastError() const { return m_lastError; }
    float volume() const { return m_volume; }
    bool muted() const { return m_muted; }
    bool audioEnabled() const { return m_audioEnabled; }
    bool deviceAvailable() const { return m_deviceAvailable; }
    bool externalOutput() const { return m_externalOutput; }
    double playbackRate() const { return m_playbackRate; }
    QVideoFrame currentFrame() const { return m_publishedFrame; }
    const PlayerSlot &slot(int index) const { return m_slots[index]; }
    ProgramAudioMixer &mixer() { return m_mixer; }
    qint64 clockUs() const;
    QJsonObject diagnostics() const;

    // The picture of a transition at progress 0..1 between two images; kind 1 dissolve, 2 fade
    // through black. Null when both images are null.
    static QImage composeTransitionImage(const QImage &outgoing, const QImage &incoming, double progress,
                                         int kind);
    static void drawFitted(QPainter &painter, const QImage &image, double opacity);
    // The same picture composed on the YUV planes of two frames of one size and layout (YUV420P or
    // NV12), with the exit fade's factor applied; invalid when the frames do not allow it.
    static QVideoFrame composeTransitionFrame(const QVideoFrame &outgoing, const QVideoFrame &incoming,
                                              double progress, int kind, double exitFactor);
    // The 48 kHz program frame of a tapped buffer that starts at programUs. nextFrame carries the
    // frame that continues the previous buffer of the same slot (-1 after a jump).
    static qint64 tapPosition(qint64 programUs, int frames, qint64 &nextFrame);

    // Test seam: the preparation timeout (15000 ms in production).
    void setPreparationTimeoutForTesting(int ms) { m_preparationTimeoutMs = ms; }

signals:
    void frameReady(const QVideoFrame &frame);
    void changed();
    void failed(const QString &message);
    void preparedReady();
    void started();
    void rangeEnded();
    void audioReady(const AudioPacket &packet);
    void audioReset();
    void audioMeter(float left, float right);
    void audioWarning(const QString &message);

private:
    void buildSlot(int index);
    void beginPreparation(const Cue &cue, bool takeWhenReady, bool playAfterTake);
    void failPreparation(const QString &message);
    void onMediaStatus(int slot, QMediaPlayer::MediaStatus status);
    void onPlayerError(int slot, const QString &message);
    void positionAtIn(int slot);
    void acceptPreroll();
    void stopOutgoing();
    void stopSlot(int slot);
    void silenceSlotFromNow(int slot);
    void keepLoopRestartReady();

    // Pictures.
    void onVideoFrame(int slot, const QVideoFrame &frame);
    void publishFrame();
    void watchRange();
    void finishRange();
    qint64 slotOutMs(int slot) const;
    qint64 slotFrameTimeMs(int slot) const;
    void recordPublication(const QVideoFrame &frame);
    QVideoFrame composeThroughImages(const QVideoFrame &outgoing, const QVideoFrame &incoming, double progress,
                                     double exitFactor) const;

    // Sound.
    void applyAudioState();
    void onAudioBuffer(int slot, const QAudioBuffer &buffer);
    void realignSlot(int slot, qint64 mediaUs);
    void pumpAudio();

    std::array<PlayerSlot, 2> m_slots;
    int m_activeSlot = 0;
    int m_preparedSlot = 1;
    int m_outgoingSlot = -1;
    bool m_preparing = false;
    bool m_prepared = false;
    bool m_takeWhenReady = false;
    bool m_playAfterTake = true;
    const bool m_preview;
    bool m_looping = false;
    bool m_ended = false;
    qint64 m_fadeMs = 0;
    int m_transitionKind = 0;
    QVideoFrame m_publishedFrame;
    QTimer m_preparationTimer;
    QTimer m_rangeTimer;
    QTimer m_pumpTimer;
    QElapsedTimer m_clock;
    ProgramAudioMixer m_mixer;
    qint64 m_pumpFrame = 0;
    qint64 m_pausedAtUs = -1;
    float m_volume = 1.0f;
    bool m_muted = false;
    bool m_audioEnabled;
    bool m_deviceAvailable = true;
    bool m_externalOutput = false;
    double m_playbackRate = 1.0;
    std::atomic<float> m_mixVolume{1.0f};
    std::atomic<bool> m_mixSilenced{false};
    std::atomic<qint64> m_videoLagUs{-1};
    QByteArray m_audioDeviceId;
    quint32 m_audioBuffersTapped = 0;
    quint64 m_requestGeneration = 0;
    quint64 m_activeGeneration = 0;
    quint64 m_publishedFrames = 0;
    quint64 m_receivedVideoCallbacks = 0;
    quint64 m_prerollFramesFiltered = 0;
    QString m_preparationState = QStringLiteral("empty");
    QString m_preparationSource;
    QString m_preparationError;
    QString m_lastError;
    QElapsedTimer m_preparationClock;
    qint64 m_preparationMs = 0;
    std::deque<qint64> m_recentFrameTimes;
    quint64 m_composedFrames = 0;
    double m_compositionLastMs = 0;
    double m_compositionPeakMs = 0;
    double m_compositionTotalMs = 0;
    AudioDeviceWatcher m_deviceWatcher;
    int m_preparationTimeoutMs = 15000;
};
