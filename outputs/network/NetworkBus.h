#pragma once

#include "engine/AudioPacket.h"

#include <QElapsedTimer>
#include <QImage>
#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QSize>
#include <QString>
#include <QVideoFrame>
#include <array>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

class NativeChannel;

// Publishes one Program's pictures and sound on the local network as an NDI source, an OMT source,
// or both. The deck's frames are taken at most once per project frame period, held against the
// HDR and pixel-budget limits, converted once to 32-bit ARGB and shared by both senders; its audio
// packets go to every running sender whose audio is on. Each running sender has a thread that
// releases pictures 40 ms after their program time, repeats the last picture at its frame rate
// while nothing new arrives (so a paused Program stays a live source) and hands pictures and sound
// to the runtime. Everything but the sender threads runs on the GUI thread.
class NetworkBus : public QObject
{
    Q_OBJECT
public:
    // One protocol's sender: its queues, its thread and its statistics. Usable on its own.
    class Sender
    {
    public:
        struct QueuedPicture
        {
            QImage image;
            qint64 ptsUs = 0;
            double fps = 30.0;
        };

        Sender();
        ~Sender();
        Sender(const Sender &) = delete;
        Sender &operator=(const Sender &) = delete;

        // protocol 0 is NDI, anything else OMT; nowUs is the deck clock. False with error() set
        // when the name is refused, the runtime is disabled or unusable, or the sender cannot be
        // created.
        bool start(int protocol, const QString &name, qint64 nowUs);
        void stop();
        void setAudioEnabled(bool on);
        void queueVideo(const QImage &image, qint64 ptsUs, double fps);
        // Queues a packet while running with audio on; past 20 packets the oldest one is dropped.
        void queueAudio(const AudioPacket &packet);
        void clearAudio();

        bool isRunning() const { return m_running.load(); }
        QJsonObject stats() const;
        QString sourceName() const;
        QString error() const;

        // Test seams: while held, the thread takes nothing from the queues, so they can be
        // inspected.
        void setHoldForTesting(bool hold) { m_holdForTesting.store(hold); }
        std::deque<QueuedPicture> queuedVideoForTesting() const;
        int queuedAudioForTesting() const;

    private:
        struct SenderRuntime;

        bool fail(const QString &text);
        QString openRuntime(SenderRuntime &runtime, const QString &name, QString *reportedName);
        void closeRuntime();
        void run();
        void sendAudio(const AudioPacket &packet);
        void sendPicture(const QImage &picture, qint64 timestampUs, double fps);

        std::unique_ptr<SenderRuntime> m_runtime;
        mutable std::mutex m_lock;
        std::condition_variable m_wake;
        std::thread m_thread;
        std::deque<QueuedPicture> m_videoQueue;
        QImage m_current;
        qint64 m_currentPts = 0;
        double m_currentFps = 30.0;
        std::deque<AudioPacket> m_audioQueue;
        QString m_error;
        QString m_sourceName;
        std::atomic<bool> m_running{false};
        std::atomic<bool> m_stopRequested{false};
        std::atomic<bool> m_audioOn{true};
        std::atomic<int> m_videoFrames{0};
        std::atomic<int> m_audioPackets{0};
        std::atomic<int> m_droppedAudio{0};
        std::atomic<int> m_supersededVideo{0};
        std::atomic<int> m_connections{0};
        bool m_fresh = false;
        qint64 m_clockOriginUs = 0;
        QElapsedTimer m_clock;
        std::atomic<bool> m_holdForTesting{false};
    };

    NetworkBus(NativeChannel *source, QObject *parent = nullptr);
    ~NetworkBus() override;

    // protocol 0 starts the NDI sender, anything else the OMT sender, and shows the deck's current
    // picture on it at once. A failure is emitted through warning() and kept in the sender's error.
    bool start(int protocol, const QString &sourceName);
    void stop(int protocol);
    void setAudioEnabled(bool on);
    bool audioEnabled() const { return m_audioEnabled; }

    Sender &sender(int protocol) { return m_senders[protocol == 0 ? 0 : 1]; }
    const Sender &sender(int protocol) const { return m_senders[protocol == 0 ? 0 : 1]; }

    // The deck's frameReady, audioReady and audioReset land here.
    void onFrame(const QVideoFrame &frame);
    void onAudio(const AudioPacket &packet);
    void onAudioReset();

    // Test seam: replaces the deck's presentation time (program time of the current picture).
    void setPresentationClockForTesting(std::function<qint64()> clock) { m_presentationClock = std::move(clock); }

signals:
    void warning(const QString &text);

private:
    qint64 presentationTimeUs() const;
    qint64 deckClockUs() const;

    QPointer<NativeChannel> m_source;
    std::array<Sender, 2> m_senders;
    bool m_audioEnabled = true;
    QString m_lastWarning;
    QSize m_frameSize{1280, 720};
    double m_streamFps = 30.0;
    qint64 m_lastSlot = -1;
    std::function<qint64()> m_presentationClock;
};
