#include "web/WebStream.h"

#include "engine/NativeChannel.h"

#include <QMetaObject>
#include <QPointer>
#include <QRandomGenerator64>
#include <stdexcept>

WebStream::WebStream(NativeChannel *channel, std::shared_ptr<std::atomic<int>> qualityIndex)
    : quality(std::move(qualityIndex)), m_channel(channel)
{
    m_clock.start();
    if (m_channel) {
        connect(m_channel, &NativeChannel::frameReady, this, [this](const QVideoFrame &frame) { onFrame(frame, false); });
        connect(m_channel, &NativeChannel::changed, this, [this] { channelPlaying = m_channel->isPlaying(); });
        connect(m_channel, &NativeChannel::audioReady, this, &WebStream::onAudio);
        connect(m_channel, &NativeChannel::audioReset, this, &WebStream::onAudioReset);
        channelPlaying = m_channel->isPlaying();
    }
    m_encoderThread = std::thread(&WebStream::encodeLoop, this);
    // A paused Program has a picture before any new frame arrives.
    onFrame(m_channel ? m_channel->currentFrame() : QVideoFrame(), true);
}

WebStream::~WebStream()
{
    {
        std::lock_guard lock(m_frameMutex);
        m_stop = true;
    }
    m_wakeEncoder.notify_all();
    if (m_encoderThread.joinable())
        m_encoderThread.join();
    for (const auto &viewer : viewers())
        viewer->close();
}

std::shared_ptr<WebStream::Viewer> WebStream::addViewer(const QString &session,
                                                        const WebRtcConfiguration &configuration, QObject *context,
                                                        std::function<void(QString)> onOffer,
                                                        std::function<void()> onClosed)
{
    const quint32 videoSsrc = quint32(QRandomGenerator64::global()->generate()) & ~quint32(1) & ~(quint32(1) << 31);
    auto viewer = std::make_shared<Viewer>(session, videoSsrc);
    QPointer<QObject> target(context);
    const auto queue = [target](std::function<void()> call) {
        if (target)
            QMetaObject::invokeMethod(target.data(), std::move(call), Qt::QueuedConnection);
    };
    Viewer::Callbacks callbacks;
    callbacks.offer = [queue, onOffer](const QString &sdp) { queue([onOffer, sdp] { onOffer(sdp); }); };
    // A peer connection that cannot offer (no candidate could be gathered) answers with an empty
    // offer, which the session layer turns into a refusal.
    callbacks.failed = [queue, onOffer] { queue([onOffer] { onOffer(QString()); }); };
    callbacks.closed = [queue, onClosed] { queue(onClosed); };
    std::weak_ptr<std::atomic<bool>> keyframe = keyframeRequested;
    callbacks.keyframeRequested = [keyframe] {
        if (auto flag = keyframe.lock())
            *flag = true;
    };
    {
        std::lock_guard lock(m_viewersMutex);
        m_viewers.push_back(viewer);
    }
    QString error;
    if (!viewer->start(configuration, callbacks, &error)) {
        removeViewer(session);
        throw std::runtime_error(error.toStdString());
    }
    return viewer;
}

bool WebStream::answer(const QString &session, const QString &sdp)
{
    for (const auto &viewer : viewers()) {
        if (viewer->session() == session) {
            QString error;
            const bool accepted = viewer->applyAnswer(sdp, &error);
            if (!accepted)
                qWarning("Web monitor: %s", qPrintable(error));
            return accepted;
        }
    }
    return false;
}

void WebStream::removeViewer(const QString &session)
{
    std::shared_ptr<Viewer> removed;
    {
        std::lock_guard lock(m_viewersMutex);
        for (auto it = m_viewers.begin(); it != m_viewers.end(); ++it) {
            if ((*it)->session() == session) {
                removed = *it;
                m_viewers.erase(it);
                break;
            }
        }
    }
    // Closed outside the lock: closing raises the state callbacks.
    if (removed)
        removed->close();
}

bool WebStream::isViewerConnected(const QString &session) const
{
    for (const auto &viewer : viewers()) {
        if (viewer->session() == session)
            return viewer->connected;
    }
    return false;
}

int WebStream::viewerCount() const
{
    std::lock_guard lock(m_viewersMutex);
    return int(m_viewers.size());
}

std::vector<std::shared_ptr<WebStream::Viewer>> WebStream::viewers() const
{
    std::lock_guard lock(m_viewersMutex);
    return m_viewers;
}

void WebStream::setSentHookForTesting(std::function<void(bool, double)> hook)
{
    std::lock_guard lock(m_viewersMutex);
    m_sentHook = std::move(hook);
}

bool WebStream::hasOpenTracks() const
{
    {
        std::lock_guard lock(m_viewersMutex);
        if (m_sentHook)
            return true;
    }
    for (const auto &viewer : viewers()) {
        if (viewer->videoOpen || viewer->audioOpen)
            return true;
    }
    return false;
}

QJsonObject WebStream::statusJson() const
{
    std::lock_guard lock(m_infoMutex);
    return QJsonObject{
        {QStringLiteral("viewers"), viewerCount()},
        {QStringLiteral("encoded_frames"), double(m_encodedFrames)},
        {QStringLiteral("keyframes"), double(m_keyframes)},
        {QStringLiteral("superseded_frames"), double(m_supersededFrames)},
        {QStringLiteral("audio_packets"), double(m_audioPackets)},
        {QStringLiteral("dropped_audio_packets"), double(m_droppedAudioPackets)},
        {QStringLiteral("encode_ms_last"), double(m_encodeUs) / 1000.0},
        {QStringLiteral("video_bytes"), double(m_videoBytes)},
        {QStringLiteral("width"), m_width.load()},
        {QStringLiteral("height"), m_height.load()},
        {QStringLiteral("bitrate"), double(m_bitrate)},
        {QStringLiteral("fps_limit"), m_fpsLimit.load()},
        {QStringLiteral("hardware"), m_hardware.load()},
        {QStringLiteral("encoder"), m_encoderError.isEmpty() ? m_encoderName : m_encoderError},
        {QStringLiteral("audio_codec"), QStringLiteral("Opus 48 kHz stereo")},
    };
}
