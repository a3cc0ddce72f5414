#include "platform/media/MediaPlayer.h"

#include "platform/media/AudioBufferOutput.h"
#include "platform/media/AudioConverter.h"
#include "platform/media/AudioMonitor.h"
#include "platform/media/MediaSession.h"
#include "platform/media/PlaybackClock.h"

#include <QAudioBuffer>
#include <QAudioOutput>
#include <QPointer>
#include <QTimer>
#include <QVideoSink>
#include <algorithm>
#include <limits>

extern "C" {
#include <libavutil/samplefmt.h>
}

namespace {
constexpr qint64 FrameEarlyUs = 2000;        // a frame may go out this much before its time
constexpr qint64 AudioLeadUs = 20000;        // audio goes out this much before its time
constexpr qint64 PositionIntervalNs = 40000000;
constexpr qint64 NoDeadline = std::numeric_limits<qint64>::max();

// What the presentation step does next; taken from the pipeline under its lock, done without it.
struct Action
{
    enum Kind { Wait, Anchor, Frame, Audio, EndOfPass, Tick } kind = Wait;
    MediaPipeline::VideoItem video;
    MediaPipeline::AudioItem audio;
    qint64 endUs = 0;
    bool more = false;
};

// The observable properties, as last announced through the signals.
struct Announced
{
    QMediaPlayer::PlaybackState state = QMediaPlayer::StoppedState;
    QMediaPlayer::MediaStatus status = QMediaPlayer::NoMedia;
    QMediaPlayer::Error error = QMediaPlayer::NoError;
    QString errorString;
    qint64 durationMs = 0;
    qint64 positionMs = 0;
    bool seekable = false;
    bool hasVideo = false;
    bool hasAudio = false;
    float bufferProgress = 0;
    int metaDataVersion = 0;
};
}

struct MediaPlayer::Private
{
    explicit Private(MediaPlayer *player) : q(player)
    {
        timer.setSingleShot(true);
        timer.setTimerType(Qt::PreciseTimer);
    }

    // Commands
    void openSession();
    std::unique_ptr<MediaSession> makeSession(quint64 id);
    void closeSession();
    // The standby session waits paused at the restart point, so that seeking there (a deck's loop)
    // shows the frame at once instead of decoding from the key frame before it.
    void prepareStandby();
    bool swapToStandby();
    void startPipeline(qint64 targetUs, int loopIndex);
    void haltPipeline();
    void kick() { timer.start(0); }
    // Tells the decoders how far ahead to work: a paused player only needs its next frame.
    void applyPace();

    // Results of the worker threads
    void onWake(quint64 sessionGeneration);
    void onOpened();
    void onFailed();

    // Presentation on the clock
    void present();
    Action takeAction(bool pictureAllowed);
    void scheduleWait(MediaPipeline &pipeline, qint64 nowNs, qint64 endUs, bool ended);
    void perform(Action &action);
    void anchor(Action &action);
    void endPass(const Action &action);
    void endOfMedia(qint64 endUs);
    void showFrame(const QVideoFrame &frame);
    void deliverAudio(const MediaPipeline::AudioItem &chunk);

    qint64 positionMs() const;
    qint64 durationMs() const { return info.durationUs / 1000; }
    bool hasMedia() const { return status != QMediaPlayer::NoMedia && status != QMediaPlayer::InvalidMedia; }
    // Emits a change signal for every property that differs from what was last announced. Reading the
    // current values at each step keeps the signals right when a receiver issues a command.
    void publish(bool withPosition = true);

    MediaPlayer *q;
    QUrl source;
    QPointer<QVideoSink> sink;
    QPointer<QAudioOutput> audioOutput;
    QPointer<AudioBufferOutput> bufferOutput;
    std::unique_ptr<MediaSession> session;
    quint64 lastId = 0;      // sessions are numbered; wake-ups of any session but the current are ignored
    quint64 generation = 0;  // number of the current session
    std::unique_ptr<MediaSession> standby;
    quint64 standbyId = 0;
    qint64 restartUs = -1;   // where the standby waits; -1: no standby
    quint64 prerolledRestarts = 0;
    quint64 epoch = 0;       // +1 per command: presentation yields when a signal receiver issued one

    bool opened = false;
    MediaInfo info;
    int metaDataVersion = 0;
    QMediaPlayer::PlaybackState state = QMediaPlayer::StoppedState;
    QMediaPlayer::MediaStatus status = QMediaPlayer::NoMedia;
    QMediaPlayer::Error error = QMediaPlayer::NoError;
    QString errorString;
    double rate = 1.0;
    int loops = 1;
    int loop = 0;                // pass through the file that is playing
    qint64 stoppedAtUs = 0;      // where play() or pause() starts from the stopped state
    qint64 endPositionMs = 0;    // position at EndOfMedia
    bool atEnd = false;
    bool running = false;        // the pipeline decodes for presentation (playing or paused)
    bool anchorPending = false;  // waiting for the first frame (or audio) at targetUs
    qint64 targetUs = 0;
    qint64 lastFrameUs = 0;
    bool unpaced = false;
    bool retreatAllowed = true;
    bool sinkHasFrame = false;
    PlaybackClock clock;
    qint64 lastTickNs = 0;
    QTimer timer;
    AudioMonitor monitor;
    AudioConverter rateConverter;
    AudioConverter tapConverter;
    Announced announced;
};

// ---- commands ----

void MediaPlayer::Private::openSession()
{
    generation = ++lastId;
    session = makeSession(generation);
}

std::unique_ptr<MediaSession> MediaPlayer::Private::makeSession(quint64 id)
{
    const QString location = source.isLocalFile() ? QStringLiteral("file:") + source.toLocalFile()
                                                  : source.toString();
    MediaPlayer *player = q;
    auto made = std::make_unique<MediaSession>(location, [player, id] {
        // Runs on a worker thread. The player outlives the session (whose destructor joins the
        // threads), and Qt drops the posted call if the player is gone before it runs.
        QMetaObject::invokeMethod(player, [player, id] { player->d->onWake(id); }, Qt::QueuedConnection);
    });
    made->setLoops(loops);
    if (!retreatAllowed) {
        std::lock_guard lock(made->pipeline().mutex);
        made->pipeline().retreatAllowed = false;
    }
    return made;
}

void MediaPlayer::Private::prepareStandby()
{
    if (restartUs < 0 || !opened || !session)
        return;
    if (!standby) {
        standbyId = ++lastId;
        standby = makeSession(standbyId);
    }
    {
        std::lock_guard lock(standby->pipeline().mutex);
        standby->pipeline().setPaused(true);
    }
    standby->seek(restartUs, 0);
}

bool MediaPlayer::Private::swapToStandby()
{
    if (!standby)
        return false;
    {
        std::lock_guard lock(standby->pipeline().mutex);
        if (standby->pipeline().openState != MediaPipeline::OpenState::Opened)
            return false;
    }
    std::swap(session, standby);
    std::swap(generation, standbyId);
    ++prerolledRestarts;
    session->pipeline().wakeHandled();  // a wake-up posted while it waited was ignored
    return true;
}

void MediaPlayer::Private::closeSession()
{
    generation = ++lastId;
    session.reset();
    standby.reset();
    timer.stop();
    monitor.reset();
    running = false;
    anchorPending = false;
}

void MediaPlayer::Private::startPipeline(qint64 target, int loopIndex)
{
    ++epoch;
    const bool prerolled = target == restartUs && loopIndex == 0 && swapToStandby();
    if (!prerolled)
        session->seek(target, loopIndex);
    running = true;
    anchorPending = true;
    targetUs = target;
    lastFrameUs = target;
    loop = loopIndex;
    atEnd = false;
    if (status == QMediaPlayer::EndOfMedia)
        status = QMediaPlayer::LoadedMedia;
    timer.stop();
    monitor.reset();
    rateConverter.reset();
    applyPace();
    if (prerolled) {
        prepareStandby();  // the session just left waits for the next restart
        kick();
    }
}

void MediaPlayer::Private::applyPace()
{
    if (!session)
        return;
    std::lock_guard lock(session->pipeline().mutex);
    session->pipeline().setPaused(state != QMediaPlayer::PlayingState, running && !anchorPending);
}

void MediaPlayer::Private::haltPipeline()
{
    ++epoch;
    if (session && running)
        session->halt();
    running = false;
    anchorPending = false;
    timer.stop();
    monitor.reset();
}

// ---- results of the worker threads ----

void MediaPlayer::Private::onWake(quint64 sessionGeneration)
{
    if (sessionGeneration != generation || !session)
        return;
    MediaPipeline &pipeline = session->pipeline();
    pipeline.wakeHandled();
    if (!opened) {
        MediaPipeline::OpenState openState;
        {
            std::lock_guard lock(pipeline.mutex);
            openState = pipeline.openState;
        }
        if (openState == MediaPipeline::OpenState::Opening)
            return;
        if (openState == MediaPipeline::OpenState::Failed) {
            onFailed();
            return;
        }
        onOpened();
        if (sessionGeneration != generation || !session)
            return;
    }
    present();
}

void MediaPlayer::Private::onOpened()
{
    {
        std::lock_guard lock(session->pipeline().mutex);
        info = session->pipeline().info;
    }
    opened = true;
    ++metaDataVersion;
    status = QMediaPlayer::LoadedMedia;
    prepareStandby();
    const quint64 sessionGeneration = generation;
    publish();
    // A receiver of LoadedMedia may already have positioned or restarted the player.
    if (sessionGeneration == generation && session && state != QMediaPlayer::StoppedState && !running) {
        startPipeline(stoppedAtUs, 0);
        publish();
    }
}

void MediaPlayer::Private::onFailed()
{
    {
        std::lock_guard lock(session->pipeline().mutex);
        error = session->pipeline().error;
        errorString = session->pipeline().errorText;
    }
    closeSession();
    ++epoch;
    status = QMediaPlayer::InvalidMedia;
    state = QMediaPlayer::StoppedState;
    publish();
}

// ---- presentation ----

void MediaPlayer::Private::present()
{
    if (!session || !running)
        return;
    const quint64 startEpoch = epoch;
    bool shown = false;
    for (;;) {
        Action action = takeAction(!shown);
        if (action.kind == Action::Wait)
            return;
        shown = shown || action.kind == Action::Frame;
        perform(action);
        if (epoch != startEpoch || !session || !running)
            return;  // a receiver issued a command, which scheduled what comes next
    }
}

// At most one picture per call: when the receivers of pictures take longer than a frame period,
// the next picture is already due when they return, and going on would keep every other timer and
// event of the thread waiting (a deck's sound among them). The next picture waits for the next pass
// of the event loop.
Action MediaPlayer::Private::takeAction(bool pictureAllowed)
{
    MediaPipeline &p = session->pipeline();
    std::lock_guard lock(p.mutex);
    const qint64 now = PlaybackClock::nowNs();
    Action action;
    const bool video = info.videoStream >= 0;
    const bool audio = info.audioStream >= 0;
    if (anchorPending) {
        if (video ? p.videoFrames.empty() : p.audioChunks.empty()) {
            p.ownerWaiting = true;
            return action;
        }
        action.kind = Action::Anchor;
        if (video && !p.videoFrames.front().endOfStream)
            action.video = p.popVideo();
        return action;
    }
    if (state != QMediaPlayer::PlayingState)
        return action;

    const qint64 media = clock.mediaAt(now);
    const bool frameReady = video && !p.videoFrames.empty() && !p.videoFrames.front().endOfStream;
    const bool chunkReady = audio && !p.audioChunks.empty() && !p.audioChunks.front().endOfStream;
    const bool pictureDue = frameReady && (unpaced || p.videoFrames.front().startUs <= media + FrameEarlyUs);
    const bool chunkDue = chunkReady && (unpaced || p.audioChunks.front().startUs - AudioLeadUs <= media);
    const bool audioFirst = chunkDue && (!pictureDue || (unpaced && p.audioChunks.front().startUs < p.videoFrames.front().startUs));
    if (pictureDue && pictureAllowed && !audioFirst) {
        action.kind = Action::Frame;
        action.video = p.popVideo();
        // Late by a whole frame: skip to the newest frame that is due.
        while (!unpaced && !p.videoFrames.empty() && !p.videoFrames.front().endOfStream
               && p.videoFrames.front().startUs <= media)
            action.video = p.popVideo();
        return action;
    }
    // Unpaced, sound and pictures go out in time order; paced, sound that is due goes out even while
    // a due picture waits for the next pass.
    if (chunkDue && (audioFirst || !unpaced)) {
        action.kind = Action::Audio;
        action.audio = p.popAudio();
        return action;
    }
    if (pictureDue) {
        timer.start(0);
        return action;
    }
    const bool videoEnded = !video || (!p.videoFrames.empty() && p.videoFrames.front().endOfStream);
    const bool audioEnded = !audio || (!p.audioChunks.empty() && p.audioChunks.front().endOfStream);
    qint64 endUs = 0;
    if (videoEnded && audioEnded) {
        endUs = std::max(video ? p.videoFrames.front().endUs : 0, audio ? p.audioChunks.front().endUs : 0);
        if (unpaced || media >= endUs) {
            action.kind = Action::EndOfPass;
            action.endUs = endUs;
            action.more = (video && p.videoFrames.front().more) || (audio && p.audioChunks.front().more);
            if (video)
                p.popVideo();
            if (audio)
                p.popAudio();
            return action;
        }
    }
    if (!unpaced && now >= lastTickNs + PositionIntervalNs) {
        action.kind = Action::Tick;
        return action;
    }
    scheduleWait(p, now, endUs, videoEnded && audioEnded);
    return action;
}

void MediaPlayer::Private::scheduleWait(MediaPipeline &p, qint64 now, qint64 endUs, bool ended)
{
    const bool video = info.videoStream >= 0;
    const bool audio = info.audioStream >= 0;
    if ((video && p.videoFrames.empty()) || (audio && p.audioChunks.empty()))
        p.ownerWaiting = true;
    if (unpaced)
        return;
    qint64 deadline = lastTickNs + PositionIntervalNs;
    if (video && !p.videoFrames.empty() && !p.videoFrames.front().endOfStream)
        deadline = std::min(deadline, clock.wallAt(p.videoFrames.front().startUs - FrameEarlyUs));
    if (audio && !p.audioChunks.empty() && !p.audioChunks.front().endOfStream)
        deadline = std::min(deadline, clock.wallAt(p.audioChunks.front().startUs - AudioLeadUs));
    if (ended)
        deadline = std::min(deadline, clock.wallAt(endUs));
    if (deadline == NoDeadline)
        return;
    timer.start(int(std::clamp<qint64>((deadline - now + 999999) / 1000000, 0, 1000)));
}

void MediaPlayer::Private::perform(Action &action)
{
    switch (action.kind) {
    case Action::Anchor:
        anchor(action);
        break;
    case Action::Frame:
        lastFrameUs = action.video.startUs;
        lastTickNs = PlaybackClock::nowNs();
        showFrame(action.video.frame);
        publish();
        break;
    case Action::Audio:
        // The position is announced with the frames, or by the 40 ms tick when there are none.
        if (info.videoStream < 0)
            lastFrameUs = action.audio.startUs;
        deliverAudio(action.audio);
        publish(false);
        break;
    case Action::EndOfPass:
        endPass(action);
        break;
    case Action::Tick:
        lastTickNs = PlaybackClock::nowNs();
        publish();
        break;
    case Action::Wait:
        break;
    }
}

void MediaPlayer::Private::anchor(Action &action)
{
    const qint64 now = PlaybackClock::nowNs();
    anchorPending = false;
    clock.start(targetUs, now, rate, state != QMediaPlayer::PlayingState);
    lastTickNs = now;
    status = QMediaPlayer::BufferedMedia;
    applyPace();  // a paused player now holds its picture
    const quint64 startEpoch = epoch;
    if (action.video.frame.isValid())
        showFrame(action.video.frame);
    if (startEpoch == epoch)
        kick();  // the audio and frames that follow
    publish();
}

void MediaPlayer::Private::endPass(const Action &action)
{
    const bool again = loops < 0 || loop + 1 < loops;
    if (!again) {
        endOfMedia(action.endUs);
        return;
    }
    if (action.more) {
        // The next pass is already decoded behind this one: go on without a gap.
        ++loop;
        clock.rebase(action.endUs, 0);
        lastFrameUs = 0;
    } else {
        startPipeline(0, loop + 1);
    }
    publish();
}

void MediaPlayer::Private::endOfMedia(qint64 endUs)
{
    haltPipeline();
    state = QMediaPlayer::StoppedState;
    status = QMediaPlayer::EndOfMedia;
    atEnd = true;
    endPositionMs = durationMs() > 0 ? durationMs() : endUs / 1000;
    stoppedAtUs = 0;
    publish();
}

void MediaPlayer::Private::showFrame(const QVideoFrame &frame)
{
    sinkHasFrame = true;
    if (sink)
        sink->setVideoFrame(frame);
}

void MediaPlayer::Private::deliverAudio(const MediaPipeline::AudioItem &chunk)
{
    constexpr int Rate = MediaPipeline::InternalSampleRate;
    constexpr int Channels = MediaPipeline::InternalChannels;
    QByteArray samples = chunk.samples;
    qint64 startUs = chunk.startUs;
    if (rate != 1.0) {
        // Played faster or slower: resample so that the sound lasts as long as the pictures.
        if (!rateConverter.configureFromFloat(Channels, qRound(Rate * rate), Channels, AV_SAMPLE_FMT_FLT, Rate))
            return;
        startUs -= rateConverter.delayInInputSamples() * 1000000 / Rate;
        samples = rateConverter.convertInterleaved(samples);
    }
    if (samples.isEmpty())
        return;
    monitor.write(samples);
    if (!bufferOutput)
        return;
    const QAudioFormat format = bufferOutput->format();
    if (format != AudioBufferOutput::programFormat()) {
        const int sampleFormat = AudioConverter::sampleFormatOf(format);
        if (sampleFormat == AV_SAMPLE_FMT_NONE
            || !tapConverter.configureFromFloat(Channels, Rate, format.channelCount(), sampleFormat, format.sampleRate()))
            return;
        samples = tapConverter.convertInterleaved(samples);
        if (samples.isEmpty())
            return;
    }
    emit bufferOutput->audioBufferReceived(QAudioBuffer(samples, format, startUs));
}

qint64 MediaPlayer::Private::positionMs() const
{
    if (!running)
        return atEnd ? endPositionMs : stoppedAtUs / 1000;
    if (anchorPending)
        return targetUs / 1000;
    const qint64 mediaUs = unpaced ? lastFrameUs : clock.mediaAt(PlaybackClock::nowNs());
    const qint64 ms = std::max<qint64>(0, mediaUs / 1000);
    return durationMs() > 0 ? std::min(ms, durationMs()) : ms;
}

void MediaPlayer::Private::publish(bool withPosition)
{
    Announced &a = announced;
    if (a.durationMs != durationMs())
        emit q->durationChanged(a.durationMs = durationMs());
    if (a.seekable != info.seekable)
        emit q->seekableChanged(a.seekable = info.seekable);
    if (a.hasAudio != (info.audioStream >= 0))
        emit q->hasAudioChanged(a.hasAudio = info.audioStream >= 0);
    if (a.hasVideo != (info.videoStream >= 0))
        emit q->hasVideoChanged(a.hasVideo = info.videoStream >= 0);
    if (a.metaDataVersion != metaDataVersion) {
        a.metaDataVersion = metaDataVersion;
        emit q->metaDataChanged();
    }
    const float progress = status == QMediaPlayer::BufferedMedia ? 1.0f : 0.0f;
    if (a.bufferProgress != progress)
        emit q->bufferProgressChanged(a.bufferProgress = progress);
    if (a.error != error || a.errorString != errorString) {
        a.error = error;
        a.errorString = errorString;
        emit q->errorChanged();
        if (error != QMediaPlayer::NoError)
            emit q->errorOccurred(error, errorString);
    }
    if (a.state != state)
        emit q->playbackStateChanged(a.state = state);
    if (a.status != status)
        emit q->mediaStatusChanged(a.status = status);
    const qint64 position = positionMs();
    if (withPosition && a.positionMs != position)
        emit q->positionChanged(a.positionMs = position);
}

// ---- public interface ----

MediaPlayer::MediaPlayer(QObject *parent)
    : QObject(parent), d(std::make_unique<Private>(this))
{
    connect(&d->timer, &QTimer::timeout, this, [this] { d->present(); });
}

MediaPlayer::~MediaPlayer()
{
    d->closeSession();
}

void MediaPlayer::setSource(const QUrl &source)
{
    d->closeSession();
    ++d->epoch;
    d->restartUs = -1;
    d->source = source;
    d->opened = false;
    d->info = {};
    ++d->metaDataVersion;
    d->state = QMediaPlayer::StoppedState;
    d->error = QMediaPlayer::NoError;
    d->errorString.clear();
    d->loop = 0;
    d->stoppedAtUs = 0;
    d->atEnd = false;
    d->status = source.isEmpty() ? QMediaPlayer::NoMedia : QMediaPlayer::LoadingMedia;
    if (!source.isEmpty())
        d->openSession();
    const quint64 epoch = d->epoch;
    emit sourceChanged(source);
    if (epoch == d->epoch && d->sinkHasFrame) {
        d->sinkHasFrame = false;
        if (d->sink)
            d->sink->setVideoFrame(QVideoFrame());
    }
    d->publish();
}

QUrl MediaPlayer::source() const
{
    return d->source;
}

void MediaPlayer::setVideoSink(QVideoSink *sink)
{
    d->sink = sink;
}

QVideoSink *MediaPlayer::videoSink() const
{
    return d->sink;
}

void MediaPlayer::setAudioOutput(QAudioOutput *output)
{
    d->audioOutput = output;
    d->monitor.setOutput(output);
}

QAudioOutput *MediaPlayer::audioOutput() const
{
    return d->audioOutput;
}

void MediaPlayer::setAudioBufferOutput(AudioBufferOutput *output)
{
    d->bufferOutput = output;
}

AudioBufferOutput *MediaPlayer::audioBufferOutput() const
{
    return d->bufferOutput;
}

QMediaPlayer::PlaybackState MediaPlayer::playbackState() const
{
    return d->state;
}

QMediaPlayer::MediaStatus MediaPlayer::mediaStatus() const
{
    return d->status;
}

QMediaPlayer::Error MediaPlayer::error() const
{
    return d->error;
}

QString MediaPlayer::errorString() const
{
    return d->errorString;
}

qint64 MediaPlayer::duration() const
{
    return d->durationMs();
}

qint64 MediaPlayer::position() const
{
    return d->positionMs();
}

bool MediaPlayer::isSeekable() const
{
    return d->info.seekable;
}

bool MediaPlayer::hasVideo() const
{
    return d->info.videoStream >= 0;
}

bool MediaPlayer::hasAudio() const
{
    return d->info.audioStream >= 0;
}

float MediaPlayer::bufferProgress() const
{
    return d->status == QMediaPlayer::BufferedMedia ? 1.0f : 0.0f;
}

QMediaMetaData MediaPlayer::metaData() const
{
    return d->info.metaData;
}

QString MediaPlayer::colorTransfer() const
{
    return d->info.colorTransfer;
}

int MediaPlayer::rotation() const
{
    return d->info.rotation;
}

double MediaPlayer::frameRate() const
{
    return d->info.frameRate;
}

qint64 MediaPlayer::videoStartUs() const
{
    return d->info.videoStartUs;
}

quint64 MediaPlayer::decodeErrorCount() const
{
    return d->session ? d->session->pipeline().decodeErrors.load() : 0;
}

QString MediaPlayer::videoCodecName() const
{
    return d->info.videoCodecName;
}

QString MediaPlayer::audioCodecName() const
{
    return d->info.audioCodecName;
}

double MediaPlayer::playbackRate() const
{
    return d->rate;
}

void MediaPlayer::setPlaybackRate(double rate)
{
    rate = std::clamp(rate, 0.5, 1.5);
    if (qAbs(rate - d->rate) < 1e-9)
        return;
    if (d->running && !d->anchorPending)
        d->clock.setRate(PlaybackClock::nowNs(), rate);
    d->rate = rate;
    d->rateConverter.reset();
    if (d->running)
        d->kick();
    emit playbackRateChanged(rate);
}

int MediaPlayer::loops() const
{
    return d->loops;
}

void MediaPlayer::setLoops(int loops)
{
    if (loops == 0 || loops < QMediaPlayer::Infinite || loops == d->loops)
        return;
    d->loops = loops;
    if (d->session)
        d->session->setLoops(loops);
    if (d->standby)
        d->standby->setLoops(loops);
    emit loopsChanged();
}

void MediaPlayer::setUnpacedForTesting(bool unpaced)
{
    d->unpaced = unpaced;
}

void MediaPlayer::setRestartPoint(qint64 positionMs)
{
    const qint64 us = positionMs < 0 ? -1 : positionMs * 1000;
    if (us == d->restartUs)
        return;
    d->restartUs = us;
    if (us < 0)
        d->standby.reset();
    else
        d->prepareStandby();
}

quint64 MediaPlayer::prerolledRestarts() const
{
    return d->prerolledRestarts;
}

qint64 MediaPlayer::restartPoint() const
{
    return d->restartUs < 0 ? -1 : d->restartUs / 1000;
}

void MediaPlayer::setSeekRetreatForTesting(bool allowed)
{
    d->retreatAllowed = allowed;
}

bool MediaPlayer::monitorStreamOpen() const
{
    return d->monitor.isOpen();
}

quint64 MediaPlayer::monitorStreamOpens() const
{
    return d->monitor.streamOpens();
}

void MediaPlayer::play()
{
    if (!d->hasMedia() || d->state == QMediaPlayer::PlayingState)
        return;
    ++d->epoch;
    const auto previous = d->state;
    d->state = QMediaPlayer::PlayingState;
    if (d->opened && previous == QMediaPlayer::StoppedState) {
        d->startPipeline(d->atEnd ? 0 : d->stoppedAtUs, 0);
    } else if (d->running) {
        if (!d->anchorPending)
            d->clock.resume(PlaybackClock::nowNs());
        d->lastTickNs = PlaybackClock::nowNs();
        d->applyPace();
        d->kick();
    }
    d->publish();
}

void MediaPlayer::pause()
{
    if (!d->hasMedia() || d->state == QMediaPlayer::PausedState)
        return;
    ++d->epoch;
    const auto previous = d->state;
    d->state = QMediaPlayer::PausedState;
    if (d->opened && previous == QMediaPlayer::StoppedState) {
        d->startPipeline(d->atEnd ? 0 : d->stoppedAtUs, 0);  // shows the frame there
    } else if (d->running) {
        // Paused on the first picture after a start or seek (a cue prepared at its In): the
        // position is that picture's time, not however long its receivers took before they paused.
        const qint64 now = PlaybackClock::nowNs();
        const bool onFirstPicture = !d->anchorPending && d->info.videoStream >= 0 && d->lastFrameUs == d->targetUs;
        d->clock.pause(onFirstPicture ? std::min(now, d->clock.wallAt(d->targetUs)) : now);
        d->timer.stop();
        d->monitor.reset();
        d->applyPace();
    }
    d->publish();
}

void MediaPlayer::stop()
{
    if (!d->hasMedia())
        return;
    d->haltPipeline();
    d->state = QMediaPlayer::StoppedState;
    d->stoppedAtUs = 0;
    d->atEnd = false;
    if (d->opened)
        d->status = QMediaPlayer::LoadedMedia;
    if (d->sinkHasFrame) {
        d->sinkHasFrame = false;
        if (d->sink)
            d->sink->setVideoFrame(QVideoFrame());
    }
    d->publish();
}

void MediaPlayer::setPosition(qint64 positionMs)
{
    if (!d->hasMedia())
        return;
    positionMs = std::max<qint64>(0, positionMs);
    if (d->durationMs() > 0)
        positionMs = std::min(positionMs, d->durationMs());
    ++d->epoch;
    if (d->opened && d->state != QMediaPlayer::StoppedState) {
        d->startPipeline(positionMs * 1000, d->loop);
    } else {
        d->stoppedAtUs = positionMs * 1000;
        d->atEnd = false;
        if (d->status == QMediaPlayer::EndOfMedia)
            d->status = QMediaPlayer::LoadedMedia;
    }
    d->publish();
}
