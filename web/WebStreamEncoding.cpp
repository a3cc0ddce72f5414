// The moving half of WebStream: intake on the GUI thread and the encoder thread's loop.
#include "web/WebStream.h"

#include "engine/NativeChannel.h"
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
    // Stream time of the picture in lastImage, taken when the deck published it.
    double lastImageTime = -1.0;
    // Stream time of the first buffered sample (negative: nothing buffered) and of the last Opus
    // packet sent.
    double samplesTime = -1.0;
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
    // The moment of publication, before the picture is converted.
    const double published = streamSeconds();
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
        m_latestImageTime = published;
        m_imagePending = true;
    }
    m_wakeEncoder.notify_one();
}

void WebStream::onAudio(const AudioPacket &packet)
{
    if (!hasOpenTracks())
        return;
    // The packet carries the deck-clock time its sound belongs to, which the deck hands over some
    // tens of milliseconds later; on the stream clock it lines up with the pictures, which are taken
    // at the moment the deck publishes them. Without a deck, the sound belongs to the moment it
    // arrives. Both clocks run on the monotonic clock from their own start, so they differ by a
    // constant. The stream clock is read first: a pause before the deck clock is read can only make
    // one reading smaller, so the largest seen is the offset.
    AudioPacket stamped = packet;
    const qint64 nowUs = m_clock.nsecsElapsed() / 1000;
    if (m_channel)
        m_deckOffsetUs = std::max(m_deckOffsetUs, nowUs - m_channel->clockUs());
    stamped.timestampUs = m_channel ? packet.timestampUs + m_deckOffsetUs : nowUs;
    {
        std::lock_guard lock(m_frameMutex);
        while (m_audioQueue.size() >= 50) {
            m_audioQueue.pop_front();
            ++m_droppedAudioPackets;
        }
        m_audioQueue.push_back(stamped);
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
        double takenTime = -1.0;
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
                takenTime = m_latestImageTime;
                m_latestImage = QImage();
                m_imagePending = false;
            }
            audio.swap(m_audioQueue);
            reset = std::exchange(m_audioReset, false);
        }
        const double rate = effectiveRate(projectFps.load());
        const double t = streamSeconds();
        const qint64 slot = qint64(std::floor(rate * t));
        // Sound first: it is cheap, and waiting behind a picture's encoding would make its packets
        // leave unevenly, which the browser answers with a deeper jitter buffer.
        encodeAudio(state, audio, reset);
        if (!taken.isNull()) {
            state.lastImage = taken;
            state.lastImageTime = takenTime;
            state.fresh = true;
        }

        QImage picture;
        double pictureTime = t;
        const double repeat = channelPlaying ? 1.0 / rate : 0.4;
        if (!state.lastImage.isNull() && slot != state.lastSentSlot
            && (state.fresh || t - state.videoTime > repeat)) {
            // A new picture carries its publication time, so it shares the time line of its sound;
            // a repeat while paused is stamped when it is sent.
            if (state.fresh && state.lastImageTime >= 0)
                pictureTime = std::min(t, state.lastImageTime);
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
                state.videoTime = std::max(state.videoTime + 0.001, pictureTime);
                sendVideo(frame, state.videoTime);
            } else if (key) {
                // Nothing came out: ask again on the next picture.
                *keyframeRequested = true;
            }
        }
    }
}

void WebStream::encodeAudio(EncoderState &state, const std::deque<AudioPacket> &audio, bool reset)
{
    if (reset) {
        state.samples.clear();
        state.samplesTime = -1.0;
    }
    for (const AudioPacket &packet : audio) {
        // Packets follow each other without a gap; one that does not (a reset of the deck's pump,
        // a dropped backlog) starts the buffer again at its own time, so no packet is ever stamped
        // with the time of sound it does not hold.
        const double at = double(packet.timestampUs) / 1e6;
        const double expected = state.samplesTime + double(state.samples.size() / 2) / 48000.0;
        if (state.samplesTime < 0 || std::fabs(at - expected) > 0.002) {
            state.samples.clear();
            state.samplesTime = at;
        }
        const auto *floats = reinterpret_cast<const float *>(packet.data.constData());
        state.samples.insert(state.samples.end(), floats, floats + (packet.data.size() / 8) * 2);
    }
    if (state.samples.size() > 96000) {
        const size_t cut = state.samples.size() - 48000;
        state.samples.erase(state.samples.begin(), state.samples.begin() + qsizetype(cut));
        state.samplesTime += double(cut / 2) / 48000.0;
        ++m_droppedAudioPackets;
    }
    size_t offset = 0;
    while (state.samples.size() - offset >= 1920) {
        const double stamp = state.samplesTime + double(offset / 2) / 48000.0;
        const QByteArray packet = state.audio.encode(state.samples.data() + offset);
        offset += 1920;
        if (packet.isEmpty())
            continue;
        // RTP time never runs backwards, even after the deck's clock was re-anchored.
        state.audioTime = state.audioTime < 0 ? stamp : std::max(stamp, state.audioTime + 0.0195);
        ++m_audioPackets;
        sendAudio(packet, state.audioTime);
    }
    state.samples.erase(state.samples.begin(), state.samples.begin() + qsizetype(offset));
    if (state.samplesTime >= 0)
        state.samplesTime += double(offset / 2) / 48000.0;
}

void WebStream::sendVideo(const QByteArray &frame, double seconds)
{
    {
        std::lock_guard lock(m_viewersMutex);
        if (m_sentHook)
            m_sentHook(true, seconds);
    }
    for (const auto &viewer : viewers()) {
        if (viewer->videoOpen)
            viewer->sendVideo(frame, seconds);
    }
}

void WebStream::sendAudio(const QByteArray &packet, double seconds)
{
    {
        std::lock_guard lock(m_viewersMutex);
        if (m_sentHook)
            m_sentHook(false, seconds);
    }
    for (const auto &viewer : viewers()) {
        if (viewer->audioOpen)
            viewer->sendAudio(packet, seconds);
    }
}
