#pragma once

#include "engine/AudioPacket.h"
#include "web/WebRtcConfiguration.h"
#include "web/WebViewer.h"

#include <QElapsedTimer>
#include <QImage>
#include <QJsonObject>
#include <QObject>
#include <QSize>
#include <QString>
#include <QVideoFrame>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class NativeChannel;
class WebH264Encoder;

// One live, encoded picture-and-sound feed of one Program at one quality, sent over WebRTC to any
// number of browser viewers that all share its single H.264 and Opus encoder. Created and destroyed
// on the GUI thread and held by a shared pointer (the server's stream table owns it). Intake runs on
// the GUI thread inside the deck's signals and only hands the newest picture and the sound over;
// the stream's own encoder thread paces, letterboxes, encodes and sends to every viewer whose tracks
// are open, so a slow encoder never holds up the deck. Locks: frameMutex (intake hand-over),
// viewersMutex (viewer list), infoMutex (encoder texts; taken before viewersMutex when the status is
// built, never the other way round).
class WebStream : public QObject
{
public:
    using Viewer = WebViewer;

    WebStream(NativeChannel *channel, std::shared_ptr<std::atomic<int>> quality);
    ~WebStream() override;

    // Adds the viewer at once and starts its offer; onOffer and onClosed are queued to context's
    // thread. Throws std::runtime_error when the peer connection cannot be made (nothing is added).
    std::shared_ptr<Viewer> addViewer(const QString &session, const WebRtcConfiguration &configuration,
                                      QObject *context, std::function<void(QString)> onOffer,
                                      std::function<void()> onClosed);
    bool answer(const QString &session, const QString &sdp);
    void removeViewer(const QString &session);
    bool isViewerConnected(const QString &session) const;
    int viewerCount() const;
    std::vector<std::shared_ptr<Viewer>> viewers() const;
    bool hasOpenTracks() const;
    QJsonObject statusJson() const;

    // Intake, on the GUI thread.
    void onFrame(const QVideoFrame &frame, bool force);
    void onAudio(const AudioPacket &packet);
    void onAudioReset();

    // The encoded size for a quality index and the last real source size.
    static QSize targetSize(int quality, QSize source);
    // The frame rate the streams run at for a project frame rate (0 or less means unset).
    static double effectiveRate(double projectFps);
    // The bit rate a size is encoded at.
    static qint64 bitrateFor(QSize size);

    // Test seam: a hook that sees every encoded picture and Opus packet with its stream time (on
    // the encoder thread) and counts as a viewer with open tracks.
    void setSentHookForTesting(std::function<void(bool video, double seconds)> hook);

    std::shared_ptr<std::atomic<bool>> keyframeRequested = std::make_shared<std::atomic<bool>>(true);
    const std::shared_ptr<std::atomic<int>> quality;
    std::atomic<bool> channelPlaying{false};

private:
    struct EncoderState;
    void encodeLoop();
    void configureEncoder(EncoderState &state, QSize target);
    void encodeAudio(EncoderState &state, const std::deque<AudioPacket> &audio, bool reset);
    void sendVideo(const QByteArray &frame, double seconds);
    void sendAudio(const QByteArray &packet, double seconds);
    double streamSeconds() const;
    qint64 frameSlot(double seconds) const;

    NativeChannel *m_channel;
    QElapsedTimer m_clock;
    // The stream clock minus the deck clock; see onAudio.
    qint64 m_deckOffsetUs = std::numeric_limits<qint64>::min();
    qint64 m_lastIntakeSlot = -1;
    mutable std::mutex m_frameMutex;
    mutable std::mutex m_viewersMutex;
    mutable std::mutex m_infoMutex;
    std::condition_variable m_wakeEncoder;
    std::thread m_encoderThread;
    std::vector<std::shared_ptr<Viewer>> m_viewers;
    std::function<void(bool, double)> m_sentHook;
    QImage m_latestImage;
    double m_latestImageTime = -1.0;
    bool m_imagePending = false;
    bool m_stop = false;
    bool m_audioReset = false;
    std::deque<AudioPacket> m_audioQueue;

    std::atomic<qint64> m_encodedFrames{0};
    std::atomic<qint64> m_keyframes{0};
    std::atomic<qint64> m_supersededFrames{0};
    std::atomic<qint64> m_audioPackets{0};
    std::atomic<qint64> m_droppedAudioPackets{0};
    std::atomic<qint64> m_encodeUs{0};
    std::atomic<qint64> m_videoBytes{0};
    std::atomic<qint64> m_bitrate{0};
    std::atomic<int> m_width{0};
    std::atomic<int> m_height{0};
    std::atomic<int> m_fpsLimit{30};
    std::atomic<bool> m_hardware{false};
    QString m_encoderError;
    QString m_encoderName;
};
