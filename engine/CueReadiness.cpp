#include "engine/CueReadiness.h"

#include "engine/NativeChannel.h"
#include "platform/media/MediaPlayer.h"

#include <QDateTime>
#include <QFileInfo>
#include <QScopeGuard>
#include <QVideoFrame>

namespace {

// Frame start times may fall just before the requested position.
constexpr qint64 inToleranceMs = 2;

const QString mediaChanged = QStringLiteral("Media changed; cue again");

bool isReadableFile(const QFileInfo &info)
{
    return info.exists() && info.isFile() && info.isReadable();
}

} // namespace

CueReadiness::CueReadiness(NativeChannel *preview, QObject *parent) : QObject(parent), m_preview(preview)
{
    m_pollTimer.setInterval(100);
    connect(&m_pollTimer, &QTimer::timeout, this, [this] { poll(); });
    // The deck's own change signal arrives while it is still working (inside a seek or a toggle);
    // the poll runs from the event loop instead.
    connect(m_preview, &NativeChannel::changed, this, [this] { QTimer::singleShot(0, this, [this] { poll(); }); });
    connect(m_preview, &NativeChannel::frameReady, this, [this](const QVideoFrame &frame) {
        noteFrame(frame);
        poll();
    });
    connect(m_preview, &NativeChannel::failed, this, [this](const QString &message) { onPreviewFailed(message); });
    connect(&m_watcher, &QFileSystemWatcher::fileChanged, this, [this](const QString &path) { onFileChanged(path); });
}

QString CueReadiness::stateName(int state)
{
    switch (state) {
    case Preparing:
        return QStringLiteral("preparing");
    case Ready:
        return QStringLiteral("ready");
    case Error:
        return QStringLiteral("error");
    default:
        return QStringLiteral("empty");
    }
}

void CueReadiness::prepare(const Cue &cue)
{
    clear();
    m_cue = cue;
    m_clock.start();
    m_state = Preparing;
    emit changed();
    m_preview->clear();

    QString message = cue.validate();
    const QFileInfo info(cue.source);
    if (message.isEmpty() && !isReadableFile(info))
        message = QStringLiteral("File is missing or unreadable");
    if (!message.isEmpty()) {
        fail(message);
        return;
    }
    m_fileSize = info.size();
    m_fileModifiedMs = info.lastModified().toMSecsSinceEpoch();
    m_watcher.addPath(cue.source);

    // The Preview gets the bare file; the trim is applied here, so the deck never refuses a Cue
    // whose In it could not position.
    m_preview->loadPath(cue.source, false);
    m_generation = m_preview->requestGeneration();
    m_pollTimer.start();
    poll();
}

void CueReadiness::clear()
{
    m_pollTimer.stop();
    if (!m_watcher.files().isEmpty())
        m_watcher.removePaths(m_watcher.files());
    m_state = Empty;
    m_cue = Cue();
    m_error.clear();
    m_generation = 0;
    m_framesAtSeek = 0;
    m_seekIssued = false;
    m_candidate = QVideoFrame();
    m_firstVerifiedVideoPtsUs = -1;
    m_elapsedMs = 0;
    pausePreview();
    emit changed();
}

bool CueReadiness::readyFor(const Cue &cue) const
{
    return m_state == Ready && cue.source == m_cue.source && cue.in_ms == m_cue.in_ms
           && cue.out_ms == m_cue.out_ms && m_generation == m_preview->requestGeneration()
           && m_generation == m_preview->activeGeneration();
}

bool CueReadiness::recheckMedia()
{
    if (m_state != Ready)
        return false;
    if (mediaUnchanged())
        return true;
    fail(mediaChanged);
    return false;
}

bool CueReadiness::mediaUnchanged() const
{
    const QFileInfo info(m_cue.source);
    return isReadableFile(info) && info.size() == m_fileSize
           && info.lastModified().toMSecsSinceEpoch() == m_fileModifiedMs;
}

QJsonObject CueReadiness::snapshot() const
{
    const qint64 elapsed = m_state == Preparing && m_clock.isValid() ? m_clock.elapsed() : m_elapsedMs;
    return QJsonObject{
        {QStringLiteral("state"), stateName(m_state)},
        {QStringLiteral("cue"), jsonFromCue(m_cue)},
        {QStringLiteral("error"), m_error},
        {QStringLiteral("generation"), double(m_generation)},
        {QStringLiteral("elapsed_ms"), double(elapsed)},
        {QStringLiteral("first_verified_video_pts_us"), double(m_firstVerifiedVideoPtsUs)},
        {QStringLiteral("scope"),
         QStringLiteral("Muted Preview source/trim verification; Program decks still prepare on TAKE. "
                        "Audio-only checks use backend readiness, not decoded PCM proof.")},
    };
}

void CueReadiness::poll()
{
    if (m_busy || m_state == Empty || m_state == Error || m_generation == 0)
        return;
    // Seeking or toggling the deck emits its signals synchronously; they must not re-enter here.
    m_busy = true;
    const auto release = qScopeGuard([this] { m_busy = false; });
    if (m_generation != m_preview->requestGeneration()) {
        fail(QStringLiteral("Preview changed; cue again"));
        return;
    }
    if (m_state == Preparing)
        verifyStep();
}

void CueReadiness::verifyStep()
{
    if (m_clock.elapsed() > m_timeoutMs) {
        fail(QStringLiteral("Cue verification timed out"));
        return;
    }
    if (m_preview->preparationState() == QStringLiteral("error")) {
        fail(m_preview->preparationError());
        return;
    }
    const qint64 duration = m_preview->durationMs();
    if (m_preview->activeGeneration() != m_generation || m_preview->isPreparing() || duration <= 0)
        return;
    const QString message = m_cue.validate(duration);
    if (!message.isEmpty()) {
        fail(message);
        return;
    }
    const MediaPlayer &player = *m_preview->slot(m_preview->activeSlot()).player;
    if (!player.hasVideo() && !player.hasAudio()) {
        fail(QStringLiteral("No playable audio or video stream"));
        return;
    }
    if (!m_seekIssued && (!issueSeek(player) || m_cue.in_ms > 0))
        return;
    const bool proven = player.hasVideo() ? videoProvesIn(duration, player)
                                          : m_preview->positionMs() + inToleranceMs >= m_cue.in_ms;
    if (proven) {
        becomeReady();
    } else if (m_preview->hasEnded() && endedBeforeIn(player)) {
        // The media ran out before In: say so now rather than after the time limit.
        fail(player.decodeErrorCount() > 0 ? QStringLiteral("Media could not be decoded up to In")
                                           : QStringLiteral("Media ends before In"));
    }
}

void CueReadiness::noteFrame(const QVideoFrame &frame)
{
    if (m_state != Preparing || !m_seekIssued || m_cue.in_ms <= 0 || m_candidate.isValid() || !frame.isValid()
        || frame.startTime() < 0 || m_preview->publishedFrames() <= m_framesAtSeek)
        return;
    if (frame.startTime() / 1000 + inToleranceMs >= m_cue.in_ms)
        m_candidate = frame;
}

bool CueReadiness::endedBeforeIn(const MediaPlayer &player) const
{
    if (!player.hasVideo())
        return m_preview->positionMs() + inToleranceMs < m_cue.in_ms;
    const QVideoFrame last = m_preview->currentFrame();
    return !m_candidate.isValid() && (!last.isValid() || last.startTime() / 1000 + inToleranceMs < m_cue.in_ms);
}

// Moves the Preview to In once. False when the source cannot get there (the readiness then failed).
bool CueReadiness::issueSeek(const MediaPlayer &player)
{
    const bool seekable = player.isSeekable() && !m_unseekableForTesting;
    if (m_cue.in_ms > 0 && !seekable) {
        fail(QStringLiteral("Source cannot seek to In"));
        return false;
    }
    m_seekIssued = true;
    m_framesAtSeek = m_preview->publishedFrames();
    if (m_cue.in_ms > 0) {
        m_preview->seek(m_cue.in_ms);
        // The muted Preview plays so that a frame at In is decoded and published.
        if (player.hasVideo() && !m_preview->isPlaying())
            m_preview->togglePlayback();
    }
    return true;
}

bool CueReadiness::videoProvesIn(qint64 durationMs, const MediaPlayer &player)
{
    // The first picture at or after In published since the seek, else the one on the Preview now.
    const QVideoFrame frame = m_candidate.isValid() ? m_candidate : m_preview->currentFrame();
    // After a seek only a picture published since then shows where the source really went.
    const bool fresh = m_cue.in_ms <= 0 || m_preview->publishedFrames() > m_framesAtSeek;
    if (!frame.isValid() || !fresh)
        return false;
    if (frame.startTime() < 0) {
        fail(QStringLiteral("Video timestamps unavailable for In verification"));
        return false;
    }
    const qint64 t = frame.startTime() / 1000;
    const qint64 out = m_cue.out_ms >= 0 ? m_cue.out_ms : durationMs;
    if (t + inToleranceMs < m_cue.in_ms || t >= out || isLaterFrame(frame, player))
        return false;
    m_firstVerifiedVideoPtsUs = frame.startTime();
    return true;
}

bool CueReadiness::isLaterFrame(const QVideoFrame &frame, const MediaPlayer &player) const
{
    // Only the first frame at or after In - 2 ms proves In: one that starts a whole frame period or
    // more after that is a later frame (the source skipped the one at In), unless the video has no
    // earlier frame at all (it starts after In, say after its sound).
    qint64 periodUs = frame.endTime() > frame.startTime() ? frame.endTime() - frame.startTime() : 0;
    if (periodUs <= 0)
        periodUs = player.frameRate() > 0 ? qint64(1e6 / player.frameRate()) : 40000;
    const qint64 earliestUs = (m_cue.in_ms - inToleranceMs) * 1000;
    const bool firstOfStream = frame.startTime() <= player.videoStartUs() + inToleranceMs * 1000;
    return frame.startTime() - earliestUs >= periodUs && !firstOfStream;
}

void CueReadiness::becomeReady()
{
    if (!mediaUnchanged()) {
        fail(mediaChanged);
        return;
    }
    m_state = Ready;
    m_elapsedMs = m_clock.elapsed();
    m_pollTimer.stop();
    pausePreview();
    emit changed();
}

void CueReadiness::fail(const QString &message)
{
    m_pollTimer.stop();
    m_state = Error;
    m_error = message;
    m_elapsedMs = m_clock.isValid() ? m_clock.elapsed() : 0;
    pausePreview();
    emit changed();
}

void CueReadiness::pausePreview()
{
    if (m_preview->isPlaying())
        m_preview->togglePlayback();
}

void CueReadiness::onFileChanged(const QString &path)
{
    if (path != m_cue.source || (m_state != Preparing && m_state != Ready))
        return;
    if (!mediaUnchanged()) {
        fail(mediaChanged);
        return;
    }
    // A file replaced by one of the same size and time drops out of the watch; keep watching it.
    if (!m_watcher.files().contains(path))
        m_watcher.addPath(path);
}

void CueReadiness::onPreviewFailed(const QString &message)
{
    if (m_generation != 0 && m_generation == m_preview->requestGeneration()
        && (m_state == Preparing || m_state == Ready))
        fail(message);
}
