// The moving half of WebStream: intake on the GUI thread and the encoder thread's loop.
#include "web/WebStream.h"

#include "outputs/ProjectFps.h"
#include "web/WebH264Encoder.h"
#include "web/WebOpusEncoder.h"

#include <QPainter>
#include <QVideoFrameFormat>
#include <algorithm>
#include <chrono>
#include <cmath>

struct WebStream::EncoderState
{
    WebH264Encoder video;
    WebOpusEncoder audio;
    bool ready = false;
    bool tryHardware = true;
    QSize sourceSize;
    int configuredQuality = -1;
    QImage canvas;
    QImage lastImage;
    bool fresh = false;
    qint64 lastSentSlot = -1;
    double videoTime = -1.0;
    double audioTime = -1.0;
    std::vector<float> samples;
};

double WebStream::effectiveRate(double fps)
{
    if (fps <= 0)
        return 30.0;
    return fps > 30.5 ? fps / 2.0 : fps;
}

qint64 WebStream::bitrateFor(QSize size)
{
    return std::clamp(qint64(size.width()) * size.height() * 360 / 100, qint64(1500000), qint64(25000000));
}

QSize WebStream::targetSize(int quality, QSize source)
{
    switch (quality) {
    case 0: {
        QSize size = source.isEmpty() ? QSize(1280, 720) : source;
        if (size.width() > 1920 || size.height() > 1080)
            size = size.scaled(1920, 1080, Qt::KeepAspectRatio);
        return QSize(std::max(320, size.width() & ~1), std::max(180, size.height() & ~1));
    }
    case 1:
        return QSize(1280, 720);
    case 3:
        return QSize(3840, 2160);
    default:
        return QSize(1920, 1080);
    }
}

double WebStream::streamSeconds() const
{
    return double(m_clock.nsecsElapsed()) / 1e9;
}

qint64 WebStream::frameSlot(double seconds) const
{
    return qint64(std::floor(effectiveRate(projectFps.load()) * seconds));
}

void WebStream::onFrame(const QVideoFrame &frame, bool force)
{
    if (!force && !hasOpenTracks())
        return;
    const qint64 slot = qint64(std::floor(double(m_clock.elapsed()) * effectiveRate(projectFps.load()) / 1000.0));
    if (!force && slot == m_lastIntakeSlot)
        return;
    m_lastIntakeSlot = slot;

    QImage picture;
    const auto transfer = frame.surfaceFormat().colorTransfer();
    const bool hdr = transfer == QVideoFrameFormat::ColorTransfer_ST2084
                     || transfer == QVideoFrameFormat::ColorTransfer_STD_B67;
    if (frame.isValid() && !hdr && frame.width() <= 4096 && frame.height() <= 4096)
        picture = frame.toImage();
    if (picture.isNull()) {
        picture = QImage(16, 9, QImage::Format_RGB32);
        picture.fill(Qt::black);
    }
    {
        std::lock_guard lock(m_frameMutex);
        if (m_imagePending)
            ++m_supersededFrames;
        m_latestImage = picture;
        m_imagePending = true;
    }
    m_wakeEncoder.notify_one();
}

void WebStream::onAudio(const AudioPacket &packet)
{
    if (!hasOpenTracks())
        return;
    {
        std::lock_guard lock(m_frameMutex);
        while (m_audioQueue.size() >= 50) {
            m_audioQueue.pop_front();
            ++m_droppedAudioPackets;
        }
        m_audioQueue.push_back(packet);
    }
    m_wakeEncoder.notify_one();
}

void WebStream::onAudioReset()
{
    std::lock_guard lock(m_frameMutex);
    m_audioQueue.clear();
    m_audioReset = true;
}

void WebStream::configureEncoder(EncoderState &state, QSize target)
{
    const int fps = int(std::lround(effectiveRate(projectFps.load())));
    if (state.ready && target == QSize(m_width, m_height) && m_fpsLimit == fps && !state.video.needsFallback())
        return;
    if (state.video.needsFallback())
        state.tryHardware = false;
    const qint64 bitrate = bitrateFor(target);
    m_fpsLimit = fps;
    state.ready = state.video.open(target.width(), target.height(), fps, int(bitrate), state.tryHardware);
    if (!state.ready && state.tryHardware) {
        state.tryHardware = false;
        state.ready = state.video.open(target.width(), target.height(), fps, int(bitrate), false);
    }
    m_width = target.width();
    m_height = target.height();
    m_bitrate = bitrate;
    m_hardware = state.ready && state.video.isHardware();
    *keyframeRequested = true;
    std::lock_guard lock(m_infoMutex);
    m_encoderError = state.ready ? QString() : state.video.lastError();
    m_encoderName = state.video.name();
}

void WebStream::encodeLoop()
{
    EncoderState state;
    state.audio.create(WebOpusEncoder::streamBitrate);
    for (;;) {
        QImage taken;
        std::deque<AudioPacket> audio;
        bool reset = false;
        {
            std::unique_lock lock(m_frameMutex);
            const double rate = effectiveRate(projectFps.load());
            const auto wait = std::chrono::milliseconds(std::max(5, int(500.0 / rate)));
            m_wakeEncoder.wait_until(lock, std::chrono::steady_clock::now() + wait,
                                     [this] { return m_stop || m_imagePending || !m_audioQueue.empty(); });
            if (m_stop)
                return;
            if (m_imagePending) {
                taken = std::move(m_latestImage);
                m_latestImage = QImage();
                m_imagePending = false;
            }
            audio.swap(m_audioQueue);
            reset = std::exchange(m_audioReset, false);
        }
        const double rate = effectiveRate(projectFps.load());
        const double t = streamSeconds();
        const qint64 slot = qint64(std::floor(rate * t));
        if (!taken.isNull()) {
            state.lastImage = taken;
            state.fresh = true;
        }

        QImage picture;
        const double repeat = channelPlaying ? 1.0 / rate : 0.4;
        if (!state.lastImage.isNull() && slot != state.lastSentSlot
            && (state.fresh || t - state.videoTime > repeat)) {
            state.fresh = false;
            state.lastSentSlot = slot;
            picture = state.lastImage;
        }
        if (!picture.isNull()) {
            if (picture.size() != QSize(16, 9))
                state.sourceSize = picture.size();
            const int q = quality->load();
            const int fps = int(std::lround(rate));
            const QSize target = targetSize(q, state.sourceSize);
            if (q != state.configuredQuality || m_fpsLimit != fps || !state.ready || state.video.needsFallback()
                || target != QSize(m_width, m_height)) {
                state.configuredQuality = q;
                configureEncoder(state, target);
            }
        }
        if (!picture.isNull() && state.ready) {
            const int w = m_width, h = m_height;
            if (picture.size() == QSize(w, h)) {
                state.canvas = picture.format() == QImage::Format_RGB32 ? picture
                                                                        : picture.convertToFormat(QImage::Format_RGB32);
            } else {
                if (state.canvas.size() != QSize(w, h) || !state.canvas.isDetached())
                    state.canvas = QImage(w, h, QImage::Format_RGB32);
                state.canvas.fill(Qt::black);
                const QSize scaled = picture.size().scaled(w, h, Qt::KeepAspectRatio);
                QPainter painter(&state.canvas);
                painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
                painter.drawImage(QRect(QPoint((w - scaled.width()) / 2, (h - scaled.height()) / 2), scaled), picture);
            }
            const bool key = keyframeRequested->exchange(false);
            bool isKey = false;
            QElapsedTimer timer;
            timer.start();
            const QByteArray frame = state.video.encode(state.canvas, qint64(t * 1e6), key, &isKey);
            m_encodeUs = timer.nsecsElapsed() / 1000;
            if (!frame.isEmpty()) {
                ++m_encodedFrames;
                m_videoBytes += frame.size();
                if (isKey)
                    ++m_keyframes;
                state.videoTime = std::max(state.videoTime + 0.001, t);
                sendVideo(frame, state.videoTime);
            } else if (key) {
                // Nothing came out: ask again on the next picture.
                *keyframeRequested = true;
            }
        }

        if (reset) {
            state.samples.clear();
            state.audioTime = -1.0;
        }
        for (const AudioPacket &packet : audio) {
            const auto *floats = reinterpret_cast<const float *>(packet.data.constData());
            state.samples.insert(state.samples.end(), floats, floats + (packet.data.size() / 8) * 2);
        }
        if (state.samples.size() > 96000) {
            state.samples.erase(state.samples.begin(), state.samples.end() - 48000);
            ++m_droppedAudioPackets;
        }
        size_t offset = 0;
        while (state.samples.size() - offset >= 1920) {
            const QByteArray packet = state.audio.encode(state.samples.data() + offset);
            offset += 1920;
            if (packet.isEmpty())
                continue;
            if (state.audioTime < 0 || std::fabs(state.audioTime - t) > 0.25)
                state.audioTime = t;
            ++m_audioPackets;
            sendAudio(packet, state.audioTime);
            state.audioTime += 0.02;
        }
        state.samples.erase(state.samples.begin(), state.samples.begin() + qsizetype(offset));
    }
}

void WebStream::sendVideo(const QByteArray &frame, double seconds)
{
    for (const auto &viewer : viewers()) {
        if (viewer->videoOpen)
            viewer->sendVideo(frame, seconds);
    }
}

void WebStream::sendAudio(const QByteArray &packet, double seconds)
{
    for (const auto &viewer : viewers()) {
        if (viewer->audioOpen)
            viewer->sendAudio(packet, seconds);
    }
}
