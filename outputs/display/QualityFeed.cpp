#include "outputs/display/QualityFeed.h"

#include "engine/NativeChannel.h"
#include "outputs/display/FrameGate.h"
#include "outputs/display/LanczosScaler.h"
#include "outputs/display/PixelSize.h"
#include "outputs/display/VideoFrameFromImage.h"

#include <QElapsedTimer>
#include <QMetaMethod>
#include <QThreadPool>
#include <QtConcurrent>

namespace {

// Everything a job needs, copied into the pool task so it never touches the feed. The result
// comes pre-stamped with the source frame's sequence, times, rate and text.
struct JobInput
{
    QSharedPointer<LanczosScaler> scaler;
    QImage picture;
    QSize target;
    QualityFeed::Result stamp;
    double readbackMs = 0;
};

QualityFeed::Result runJob(const JobInput &input)
{
    QElapsedTimer timer;
    timer.start();
    QualityFeed::Result result = input.stamp;
    result.image = input.scaler->scale(input.picture, input.target);
    result.elapsedMs = timer.nsecsElapsed() / 1e6 + input.readbackMs;
    return result;
}

} // namespace

QualityFeed::QualityFeed(NativeChannel *source, QSize targetSize, QObject *parent)
    : QObject(parent), m_source(source), m_targetSize(targetSize), m_scaler(QSharedPointer<LanczosScaler>::create())
{
    if (source)
        connect(source, &NativeChannel::frameReady, this, &QualityFeed::onFrame);
    connect(&m_watcher, &QFutureWatcher<Result>::finished, this, &QualityFeed::onJobFinished);
}

QualityFeed::~QualityFeed()
{
    m_watcher.waitForFinished();
}

bool QualityFeed::hasReceiver() const
{
    return isSignalConnected(QMetaMethod::fromSignal(&QualityFeed::frameReady));
}

void QualityFeed::refresh()
{
    if (m_source)
        onFrame(m_source->currentFrame());
}

void QualityFeed::onFrame(const QVideoFrame &frame)
{
    if (!hasReceiver())
        return;
    if (m_source && m_source->source() != m_lastSource) {
        // Another clip: whatever waits or is being scaled belongs to the old one.
        m_lastSource = m_source->source();
        ++m_sequence;
        m_pending = QVideoFrame();
    }
    if (!frame.isValid()) {
        ++m_sequence;
        m_pending = QVideoFrame();
        m_lastInput = QVideoFrame();
        m_output = QVideoFrame();
        emit frameReady(m_output);
        return;
    }
    if (frame == m_lastInput)
        return;
    m_lastInput = frame;
    if (!m_busy) {
        start(frame);
        return;
    }
    m_pending = frame;
    ++m_supersededFrames;
}

void QualityFeed::start(const QVideoFrame &frame)
{
    if (!m_scaler->isAvailable()) {
        passThrough(frame, m_scaler->errorString() + QStringLiteral("; using Native scaling"));
        return;
    }
    if (needsNativeScaling(frame)) {
        passThrough(frame, highDepthNotice());
        return;
    }
    const QSize target = fitSize(frame.size(), m_targetSize);
    if (target.isValid() && frame.size() == target) {
        m_output = frame;
        emit frameReady(m_output);
        return;
    }
    if (target.isEmpty() || qint64(target.width()) * target.height() > LanczosScaler::maxOutputPixels) {
        passThrough(frame, QStringLiteral("Lanczos output exceeds tested pixel budget; using Native scaling"));
        return;
    }
    QElapsedTimer readback;
    readback.start();
    JobInput input;
    input.picture = frame.toImage();
    if (input.picture.isNull()) {
        passThrough(frame, QStringLiteral("Frame readback failed; using Native scaling"));
        return;
    }
    input.scaler = m_scaler;
    input.target = target;
    input.stamp.sequence = m_sequence;
    input.stamp.startTime = frame.startTime();
    input.stamp.endTime = frame.endTime();
    input.stamp.streamFrameRate = frame.surfaceFormat().frameRate();
    input.stamp.subtitleText = frame.subtitleText();
    input.readbackMs = readback.nsecsElapsed() / 1e6;
    m_busy = true;
    m_watcher.setFuture(QtConcurrent::run(QThreadPool::globalInstance(), runJob, input));
}

void QualityFeed::passThrough(const QVideoFrame &frame, const QString &notice)
{
    if (notice != m_lastWarning) {
        m_lastWarning = notice;
        emit warning(notice);
    }
    m_output = frame;
    emit frameReady(m_output);
}

void QualityFeed::onJobFinished()
{
    const Result result = m_watcher.result();
    m_busy = false;
    if (result.sequence == m_sequence && hasReceiver()) {
        if (result.image.isNull()) {
            if (m_source)
                passThrough(m_source->currentFrame(), QStringLiteral("Lanczos failed; using Native scaling"));
        } else {
            QVideoFrame scaled = videoFrameFromImage(result.image, result.streamFrameRate);
            scaled.setStartTime(result.startTime);
            scaled.setEndTime(result.endTime);
            scaled.setSubtitleText(result.subtitleText);
            m_output = scaled;
            m_lastJobMs = result.elapsedMs;
            ++m_scaledFrames;
            emit frameReady(m_output);
            const double fps = result.streamFrameRate > 0 ? result.streamFrameRate : 30.0;
            if (!m_budgetWarned && result.elapsedMs > 1000.0 / fps) {
                m_budgetWarned = true;
                emit warning(QStringLiteral("Lanczos exceeds the frame budget; use Native for live playback"));
            }
        }
    }
    const QVideoFrame next = m_pending;
    m_pending = QVideoFrame();
    if (next.isValid() && hasReceiver())
        start(next);
}
