#include "engine/NativeChannel.h"

#include "platform/media/AudioBufferOutput.h"
#include "platform/media/MediaPlayer.h"

#include <QAudioOutput>
#include <QFileInfo>
#include <QMediaMetaData>
#include <QMutexLocker>
#include <QUrl>
#include <QVideoSink>
#include <algorithm>
#include <cmath>

namespace {

QJsonValue nullUnlessPositive(double value)
{
    return value > 0 ? QJsonValue(value) : QJsonValue(QJsonValue::Null);
}

} // namespace

NativeChannel::NativeChannel(bool preview, QObject *parent)
    : QObject(parent), m_preview(preview), m_audioEnabled(!preview)
{
    qRegisterMetaType<AudioPacket>();
    m_clock.start();
    for (int i = 0; i < 2; ++i)
        buildSlot(i);

    m_preparationTimer.setSingleShot(true);
    connect(&m_preparationTimer, &QTimer::timeout, this,
            [this] { onPlayerError(m_preparedSlot, QStringLiteral("Media preparation timed out")); });

    m_rangeTimer.setTimerType(Qt::PreciseTimer);
    m_rangeTimer.setInterval(10);
    connect(&m_rangeTimer, &QTimer::timeout, this, [this] { watchRange(); });
    m_rangeTimer.start();

    connect(&m_deviceWatcher, &AudioDeviceWatcher::audioOutputsChanged, this,
            [this] { setAudioDevice(m_audioDeviceId); });
    setAudioDevice(QByteArray());

    if (!m_preview) {
        m_pumpTimer.setTimerType(Qt::PreciseTimer);
        m_pumpTimer.setInterval(10);
        connect(&m_pumpTimer, &QTimer::timeout, this, [this] { pumpAudio(); });
        m_pumpTimer.start();
    }
}

NativeChannel::~NativeChannel()
{
    // Deleting a player joins its threads and may let the event loop run (the sound server's
    // client does), so nothing of the deck may fire any more once the players start to go.
    m_rangeTimer.stop();
    m_pumpTimer.stop();
    m_preparationTimer.stop();
    m_deviceWatcher.disconnect(this);
    // The players deliver queued frames and audio; they go first, while the mixer their handlers
    // touch still exists.
    for (PlayerSlot &s : m_slots) {
        s.videoSink->disconnect(this);
        if (s.bufferOutput)
            s.bufferOutput->disconnect(this);
        s.player->disconnect(this);
        delete s.player;
        s.player = nullptr;
    }
}

void NativeChannel::buildSlot(int i)
{
    PlayerSlot &s = m_slots[i];
    s.player = new MediaPlayer(this);
    s.audioOutput = new QAudioOutput(this);
    s.videoSink = new QVideoSink(this);
    s.player->setAudioOutput(s.audioOutput);
    s.player->setVideoSink(s.videoSink);
    s.audioOutput->setMuted(true);
    if (!m_preview) {
        s.bufferOutput = new AudioBufferOutput(AudioBufferOutput::programFormat(), this);
        s.player->setAudioBufferOutput(s.bufferOutput);
        connect(s.bufferOutput, &AudioBufferOutput::audioBufferReceived, this,
                [this, i](const QAudioBuffer &buffer) { onAudioBuffer(i, buffer); });
    }
    connect(s.videoSink, &QVideoSink::videoFrameChanged, this,
            [this, i](const QVideoFrame &frame) { onVideoFrame(i, frame); });
    connect(s.player, &MediaPlayer::mediaStatusChanged, this,
            [this, i](QMediaPlayer::MediaStatus status) { onMediaStatus(i, status); });
    connect(s.player, &MediaPlayer::errorOccurred, this,
            [this, i](QMediaPlayer::Error, const QString &text) { onPlayerError(i, text); });
    connect(s.player, &MediaPlayer::positionChanged, this, [this, i] {
        if (i == m_activeSlot && !m_slots[i].player->hasVideo())
            publishFrame();
        emit changed();
    });
    connect(s.player, &MediaPlayer::durationChanged, this, [this, i] {
        positionAtIn(i);
        emit changed();
    });
    connect(s.player, &MediaPlayer::seekableChanged, this, [this, i] { positionAtIn(i); });
    connect(s.player, &MediaPlayer::playbackStateChanged, this, [this] { emit changed(); });
}

qint64 NativeChannel::clockUs() const
{
    return m_clock.nsecsElapsed() / 1000;
}

// ---------------------------------------------------------------------------------------------
// Preparation

void NativeChannel::load(const Cue &cue, bool playAfterTake)
{
    beginPreparation(cue, true, playAfterTake);
}

void NativeChannel::prepare(const Cue &cue)
{
    beginPreparation(cue, false, true);
}

void NativeChannel::loadPath(const QString &path, bool playAfterTake)
{
    load(Cue::forPath(path), playAfterTake);
}

void NativeChannel::beginPreparation(const Cue &cue, bool takeWhenReady, bool playAfterTake)
{
    cancelPreparation();
    ++m_requestGeneration;
    m_preparationSource = cue.source;
    m_preparationError.clear();
    m_lastError.clear();
    m_preparationMs = 0;
    m_preparationClock.start();
    m_preparationState = QStringLiteral("preparing");

    const QString message = cue.validate();
    if (!message.isEmpty()) {
        failPreparation(message);
        return;
    }
    if (!QFileInfo(cue.source).isFile()) {
        failPreparation(QStringLiteral("File not found: ") + cue.source);
        return;
    }
    stopOutgoing();

    m_preparedSlot = 1 - m_activeSlot;
    PlayerSlot &s = m_slots[m_preparedSlot];
    s.audioOutput->setMuted(true);
    s.player->stop();
    s.player->setSource(QUrl());
    s.frameCount = 0;
    s.lastFrame = QVideoFrame();
    s.cue = cue;
    s.positionedAtIn = false;
    s.realignPending = false;
    s.loaded = false;
    silenceSlotFromNow(m_preparedSlot);

    m_preparing = true;
    m_prepared = false;
    m_takeWhenReady = takeWhenReady;
    m_playAfterTake = playAfterTake;
    m_preparationTimer.start(m_preparationTimeoutMs);

    s.player->setSource(QUrl::fromLocalFile(cue.source));
    s.player->setLoops(1);
    s.player->play();
    emit changed();
}

void NativeChannel::failPreparation(const QString &message)
{
    m_preparationState = QStringLiteral("error");
    m_lastError = message;
    m_preparationError = message;
    m_preparationMs = m_preparationClock.elapsed();
    emit failed(message);
    emit changed();
}

void NativeChannel::onMediaStatus(int slot, QMediaPlayer::MediaStatus status)
{
    PlayerSlot &s = m_slots[slot];
    if (status == QMediaPlayer::LoadedMedia || status == QMediaPlayer::BufferedMedia) {
        s.loaded = true;
        positionAtIn(slot);
    } else if (status == QMediaPlayer::InvalidMedia) {
        onPlayerError(slot, s.player->errorString());
    }
    if (m_preparing && slot == m_preparedSlot && status == QMediaPlayer::BufferedMedia
        && !s.player->hasVideo())
        acceptPreroll();
    if (m_preparing && slot == m_preparedSlot && status == QMediaPlayer::EndOfMedia) {
        // The media ended before a frame at In arrived: no waiting for the timeout.
        onPlayerError(slot, s.player->decodeErrorCount() > 0 ? QStringLiteral("Media could not be decoded up to In")
                                                             : QStringLiteral("Media ends before In"));
        return;
    }
    if (slot == m_activeSlot && status == QMediaPlayer::EndOfMedia)
        finishRange();
    emit changed();
}

void NativeChannel::positionAtIn(int slot)
{
    PlayerSlot &s = m_slots[slot];
    if (!m_preparing || slot != m_preparedSlot || s.positionedAtIn || !s.loaded || s.player->duration() <= 0)
        return;
    const QString message = s.cue.validate(s.player->duration());
    if (!message.isEmpty()) {
        onPlayerError(slot, message);
        return;
    }
    // A source that cannot seek stays unpositioned when In > 0; the timeout then ends the preparation.
    if (s.cue.in_ms <= 0 || s.player->isSeekable()) {
        s.positionedAtIn = true;
        s.player->setPosition(s.cue.in_ms);
    }
}

void NativeChannel::acceptPreroll()
{
    if (!m_preparing || !m_slots[m_preparedSlot].positionedAtIn)
        return;
    m_preparing = false;
    m_prepared = true;
    m_preparationState = QStringLiteral("ready");
    m_preparationMs = m_preparationClock.elapsed();
    m_preparationTimer.stop();
    m_slots[m_preparedSlot].player->pause();
    const bool takeNow = m_takeWhenReady;
    emit preparedReady();
    if (takeNow && m_prepared)
        take();
}

void NativeChannel::onPlayerError(int slot, const QString &message)
{
    m_lastError = message;
    if ((m_preparing || m_prepared) && slot == m_preparedSlot) {
        cancelPreparation();
        m_preparationState = QStringLiteral("error");
        m_preparationError = message;
        m_preparationMs = m_preparationClock.isValid() ? m_preparationClock.elapsed() : 0;
    }
    emit failed(message);
    emit changed();
}

void NativeChannel::cancelPreparation()
{
    if (!m_preparing && !m_prepared)
        return;
    m_preparing = false;
    m_prepared = false;
    m_preparationState = QStringLiteral("cancelled");
    m_preparationTimer.stop();
    m_slots[m_preparedSlot].audioOutput->setMuted(true);
    m_slots[m_preparedSlot].player->stop();
}

void NativeChannel::silenceSlotFromNow(int slot)
{
    // The slot's sound ends now, but what it played before now stays in the ring: the pump mixes
    // 40 ms behind the clock, and voiding the row here would cut the tail of the cue that just went
    // off air out of the program audio. The row is flushed and re-anchored when the slot is taken.
    QMutexLocker lock(&m_mixer.mutex());
    ProgramAudioMixer::Row &row = m_mixer.row(slot);
    row.endUs = std::min(row.endUs, clockUs());
}

void NativeChannel::stopSlot(int slot)
{
    m_slots[slot].audioOutput->setMuted(true);
    m_slots[slot].player->stop();
}

void NativeChannel::stopOutgoing()
{
    if (m_outgoingSlot < 0)
        return;
    stopSlot(m_outgoingSlot);
    m_outgoingSlot = -1;
}

void NativeChannel::clear()
{
    cancelPreparation();
    m_outgoingSlot = -1;
    m_ended = false;
    m_pausedAtUs = -1;
    ++m_requestGeneration;
    m_activeGeneration = 0;
    m_preparationState = QStringLiteral("empty");
    m_preparationSource.clear();
    m_preparationError.clear();
    m_recentFrameTimes.clear();
    for (PlayerSlot &s : m_slots) {
        s.audioOutput->setMuted(true);
        s.player->stop();
        s.player->setSource(QUrl());
        s.cue = Cue();
        s.lastFrame = QVideoFrame();
        // A cleared slot holds no media, so its count must not carry the last clip's frames.
        s.frameCount = 0;
    }
    m_publishedFrame = QVideoFrame();
    emit frameReady(m_publishedFrame);
    emit changed();
    m_mixer.flush(-1);
    emit audioReset();
}

// ---------------------------------------------------------------------------------------------
// Transport

void NativeChannel::seek(qint64 ms)
{
    PlayerSlot &s = m_slots[m_activeSlot];
    if (s.cue.source.isEmpty() || !s.player->isSeekable())
        return;
    const qint64 in = s.cue.in_ms;
    const qint64 target = std::max(in, std::min(ms, std::max(in, outPointMs() - 1)));
    stopOutgoing();
    m_ended = false;
    s.player->setPosition(target);
    m_mixer.flush(-1);
    emit audioReset();
    realignSlot(m_activeSlot, s.player->position() * 1000);
    s.realignPending = true;
    s.realignTargetUs = target * 1000;
}

void NativeChannel::togglePlayback()
{
    PlayerSlot &active = m_slots[m_activeSlot];
    MediaPlayer *outgoing = m_outgoingSlot >= 0 ? m_slots[m_outgoingSlot].player : nullptr;
    if (active.player->playbackState() == QMediaPlayer::PlayingState) {
        m_pausedAtUs = clockUs();
        active.player->pause();
        if (outgoing)
            outgoing->pause();
        m_mixer.flush(-1);
        emit audioReset();
        return;
    }
    if (active.player->source().isEmpty())
        return;
    if (m_ended) {
        m_ended = false;
        active.player->setPosition(active.cue.in_ms);
    }
    active.audioOutput->setMuted(true);
    active.player->play();
    if (outgoing)
        outgoing->play();
    if (m_pausedAtUs >= 0) {
        // Both timelines move on by the pause, so fades keep their phase and the sound resumes
        // exactly where it stopped.
        const qint64 d = clockUs() - m_pausedAtUs;
        QMutexLocker lock(&m_mixer.mutex());
        for (int i = 0; i < 2; ++i) {
            m_slots[i].offsetUs += d;
            m_mixer.shiftTimeline(i, d);
        }
        m_pausedAtUs = -1;
    } else {
        realignSlot(m_activeSlot, active.player->position() * 1000);
    }
    applyAudioState();
}

void NativeChannel::setLooping(bool looping)
{
    m_looping = looping;
    keepLoopRestartReady();
}

void NativeChannel::keepLoopRestartReady()
{
    // A looping cue jumps back to In at every end of its range: the active player keeps a second
    // decoder waiting there, so the jump shows In's frame at once rather than holding the last
    // picture while it decodes from the key frame before In.
    for (int i = 0; i < 2; ++i) {
        const PlayerSlot &s = m_slots[i];
        const bool wanted = m_looping && i == m_activeSlot && !s.cue.source.isEmpty() && !m_preview;
        s.player->setRestartPoint(wanted ? s.cue.in_ms : -1);
    }
}

void NativeChannel::setPlaybackRate(double rate)
{
    rate = std::clamp(rate, 0.5, 1.5);
    if (std::abs(rate - m_playbackRate) < 0.0005)
        return;
    m_playbackRate = rate;
    m_slots[m_activeSlot].player->setPlaybackRate(rate);
}

// ---------------------------------------------------------------------------------------------
// Accessors

QString NativeChannel::source() const
{
    return m_slots[m_activeSlot].cue.source;
}

bool NativeChannel::isPlaying() const
{
    return m_slots[m_activeSlot].player->playbackState() == QMediaPlayer::PlayingState;
}

qint64 NativeChannel::positionMs() const
{
    return m_slots[m_activeSlot].player->position();
}

qint64 NativeChannel::durationMs() const
{
    return m_slots[m_activeSlot].player->duration();
}

qint64 NativeChannel::outPointMs() const
{
    return slotOutMs(m_activeSlot);
}

qint64 NativeChannel::slotOutMs(int slot) const
{
    const PlayerSlot &s = m_slots[slot];
    return s.cue.out_ms >= 0 ? s.cue.out_ms : s.player->duration();
}

int NativeChannel::frameCount() const
{
    return m_slots[m_activeSlot].frameCount;
}

qint64 NativeChannel::presentationTimeUs() const
{
    if (m_publishedFrame.isValid() && m_publishedFrame.startTime() >= 0)
        return m_slots[m_activeSlot].offsetUs + m_publishedFrame.startTime();
    return clockUs();
}

QJsonObject NativeChannel::diagnostics() const
{
    const PlayerSlot &s = m_slots[m_activeSlot];
    const MediaPlayer *p = s.player;
    const QMediaMetaData meta = p->metaData();
    QString playback;
    if (s.cue.source.isEmpty())
        playback = QStringLiteral("empty");
    else if (m_preparing && m_takeWhenReady)
        playback = QStringLiteral("preparing");
    else
        playback = isPlaying() ? QStringLiteral("playing") : QStringLiteral("paused");

    const QSize size = m_publishedFrame.isValid() ? m_publishedFrame.size()
                                                  : meta.value(QMediaMetaData::Resolution).toSize();
    const qint64 nowMs = m_clock.elapsed();
    const auto lastSecond = std::count_if(m_recentFrameTimes.begin(), m_recentFrameTimes.end(),
                                          [nowMs](qint64 t) { return nowMs - t <= 1000; });
    const bool composed = m_composedFrames > 0;
    const qint64 preparationMs = m_preparationState == QStringLiteral("preparing") && m_preparationClock.isValid()
                                     ? m_preparationClock.elapsed()
                                     : m_preparationMs;
    return QJsonObject{
        {QStringLiteral("source"), s.cue.source},
        {QStringLiteral("playback"), playback},
        {QStringLiteral("has_video"), p->hasVideo()},
        {QStringLiteral("has_audio"), p->hasAudio()},
        {QStringLiteral("seekable"), p->isSeekable()},
        {QStringLiteral("duration_ms"), QJsonValue(p->duration())},
        {QStringLiteral("position_ms"), QJsonValue(p->position())},
        {QStringLiteral("width"), size.width()},
        {QStringLiteral("height"), size.height()},
        {QStringLiteral("nominal_fps"), nullUnlessPositive(meta.value(QMediaMetaData::VideoFrameRate).toDouble())},
        {QStringLiteral("video_codec"), meta.stringValue(QMediaMetaData::VideoCodec)},
        {QStringLiteral("audio_codec"), meta.stringValue(QMediaMetaData::AudioCodec)},
        {QStringLiteral("backend_buffer_progress"), double(p->bufferProgress())},
        {QStringLiteral("published_frames"), double(m_publishedFrames)},
        {QStringLiteral("received_video_callbacks"), double(m_receivedVideoCallbacks)},
        {QStringLiteral("video_frames_last_second"), int(lastSecond)},
        {QStringLiteral("preroll_frames_filtered"), double(m_prerollFramesFiltered)},
        {QStringLiteral("cpu_composed_frames"), double(m_composedFrames)},
        {QStringLiteral("cpu_composition_last_ms"), composed ? QJsonValue(m_compositionLastMs) : QJsonValue()},
        {QStringLiteral("cpu_composition_peak_ms"), composed ? QJsonValue(m_compositionPeakMs) : QJsonValue()},
        {QStringLiteral("cpu_composition_mean_ms"),
         composed ? QJsonValue(m_compositionTotalMs / double(m_composedFrames)) : QJsonValue()},
        {QStringLiteral("preparation_state"), m_preparationState},
        {QStringLiteral("preparation_source"), m_preparationSource},
        {QStringLiteral("preparation_ms"), QJsonValue(preparationMs)},
        {QStringLiteral("preparation_error"), m_preparationError},
        {QStringLiteral("request_generation"), double(m_requestGeneration)},
        {QStringLiteral("active_generation"), double(m_activeGeneration)},
        {QStringLiteral("audio_buffers_tapped"), double(m_audioBuffersTapped)},
        {QStringLiteral("last_error"), m_lastError},
        {QStringLiteral("decoder_adapter"), QJsonValue()},
        {QStringLiteral("decode_time_ms"), QJsonValue()},
        {QStringLiteral("decoder_dropped_frames"), QJsonValue()},
        {QStringLiteral("decoder_packet_queue"), QJsonValue()},
    };
}
