// The take, transitions, the end of a cue's range and the publication of program pictures.
#include "engine/NativeChannel.h"

#include "platform/media/MediaPlayer.h"

#include <QAudioOutput>
#include <QElapsedTimer>
#include <QMutexLocker>
#include <QPainter>
#include <QVideoFrameFormat>
#include <algorithm>
#include <cstring>

namespace {

// A new frame that holds the image's pixels, with the times of the decoded frame it stands for.
QVideoFrame frameFromImage(const QImage &source, const QVideoFrame &timing)
{
    const QImage image = source.format() == QImage::Format_RGB32 ? source
                                                                   : source.convertToFormat(QImage::Format_RGB32);
    QVideoFrame frame(QVideoFrameFormat(image.size(),
                                        QVideoFrameFormat::pixelFormatFromImageFormat(image.format())));
    if (!frame.map(QVideoFrame::WriteOnly))
        return {};
    const int rowBytes = std::min<int>(frame.bytesPerLine(0), image.bytesPerLine());
    for (int y = 0; y < image.height(); ++y)
        std::memcpy(frame.bits(0) + qsizetype(y) * frame.bytesPerLine(0), image.constScanLine(y), rowBytes);
    frame.unmap();
    frame.setStartTime(timing.startTime());
    frame.setEndTime(timing.endTime());
    return frame;
}

} // namespace

void NativeChannel::take()
{
    if (!m_prepared)
        return;
    int old = m_activeSlot;
    const bool hadPicture = !m_slots[old].cue.source.isEmpty() && m_publishedFrame.isValid();

    m_activeSlot = m_preparedSlot;
    m_preparedSlot = old;
    m_activeGeneration = m_requestGeneration;
    m_prepared = false;
    m_ended = false;
    m_pausedAtUs = -1;
    m_playbackRate = 1.0;
    PlayerSlot &active = m_slots[m_activeSlot];
    active.player->setPlaybackRate(1.0);

    const Cue &c = active.cue;
    const bool transitionIn = hadPicture && c.transition != 0;
    if (m_preview) {
        m_fadeMs = 0;
    } else {
        const qint64 half = std::max<qint64>((outPointMs() - c.in_ms) / 2, 0);
        m_fadeMs = std::min<qint64>(transitionIn ? c.transition_ms : c.enter_ms, half);
    }
    m_transitionKind = transitionIn ? c.transition : 1;

    if (!(hadPicture && m_fadeMs > 0 && c.transition != 0)) {
        stopSlot(old);
        silenceSlotFromNow(old);
        old = -1;
    }
    m_outgoingSlot = old;

    active.audioOutput->setVolume(m_fadeMs <= 0 ? 1.0f : 0.0f);
    active.audioOutput->setMuted(true);
    realignSlot(m_activeSlot, c.in_ms * 1000);
    if (m_outgoingSlot >= 0) {
        QMutexLocker lock(&m_mixer.mutex());
        ProgramAudioMixer::Row &row = m_mixer.row(m_outgoingSlot);
        row.exitStartUs = clockUs();
        row.exitLengthUs = m_transitionKind == 2 ? m_fadeMs * 1000 / 2 : m_fadeMs * 1000;
    }
    if (m_playAfterTake)
        active.player->play();
    keepLoopRestartReady();
    publishFrame();
    emit started();
    emit changed();
}

QVideoFrame NativeChannel::composeThroughImages(const QVideoFrame &outgoing, const QVideoFrame &incoming,
                                                double progress, double exitFactor) const
{
    const QImage o = outgoing.isValid() ? outgoing.toImage() : QImage();
    QImage picture = composeTransitionImage(o, incoming.toImage(), progress, m_transitionKind);
    if (exitFactor < 1.0 && !picture.size().isEmpty()) {
        QImage canvas(picture.size(), QImage::Format_RGB32);
        canvas.fill(Qt::black);
        QPainter painter(&canvas);
        drawFitted(painter, picture, std::clamp(exitFactor, 0.0, 1.0));
        painter.end();
        picture = canvas;
    }
    return picture.isNull() ? QVideoFrame() : frameFromImage(picture, incoming);
}

qint64 NativeChannel::slotFrameTimeMs(int slot) const
{
    const PlayerSlot &s = m_slots[slot];
    if (s.lastFrame.isValid() && s.lastFrame.startTime() >= 0)
        return s.lastFrame.startTime() / 1000;
    return s.player->position();
}

void NativeChannel::onVideoFrame(int slot, const QVideoFrame &frame)
{
    PlayerSlot &s = m_slots[slot];
    if (!frame.isValid() || s.cue.source.isEmpty() || s.player->source().isEmpty())
        return;
    ++m_receivedVideoCallbacks;
    const qint64 t = frame.startTime() >= 0 ? frame.startTime() / 1000 : s.player->position();
    const qint64 in = s.cue.in_ms;
    if (m_preparing && slot == m_preparedSlot && !(s.loaded && s.positionedAtIn && t + 2 >= in)) {
        ++m_prerollFramesFiltered;
        return;
    }
    if (slot == m_activeSlot) {
        if (t + 2 < in)
            return;
        const qint64 end = slotOutMs(slot);
        if (end > 0 && t >= end) {
            finishRange();
            return;
        }
        if (m_ended)
            return;
    }
    s.lastFrame = frame;
    ++s.frameCount;
    if (m_preparing && slot == m_preparedSlot)
        acceptPreroll();
    else if (slot == m_activeSlot)
        publishFrame();
}

void NativeChannel::publishFrame()
{
    PlayerSlot &active = m_slots[m_activeSlot];
    const Cue &c = active.cue;
    const qint64 t = slotFrameTimeMs(m_activeSlot);
    const qint64 out = outPointMs();

    const double f = m_fadeMs < 1 ? 1.0 : std::clamp(double(std::max<qint64>(t - c.in_ms, 0)) / double(m_fadeMs), 0.0, 1.0);
    double h = 1.0;
    qint64 g = 0;
    if (!m_preview) {
        g = std::min<qint64>(c.exit_ms, std::max<qint64>((out - c.in_ms) / 2, 0));
        if (g >= 1 && !m_prepared)
            h = std::clamp(double(out - t) / double(g), 0.0, 1.0);
    }
    const bool throughBlack = m_transitionKind == 2;
    active.gain = float((throughBlack ? std::max(2.0 * f - 1.0, 0.0) : f) * h);
    if (m_outgoingSlot >= 0)
        m_slots[m_outgoingSlot].gain = float(throughBlack ? std::max(1.0 - 2.0 * f, 0.0) : 1.0 - f);

    {
        QMutexLocker lock(&m_mixer.mutex());
        ProgramAudioMixer::Row &row = m_mixer.row(m_activeSlot);
        row.endUs = out * 1000 + active.offsetUs;
        const bool exitFade = g >= 1 && !m_prepared;
        row.exitLengthUs = exitFade ? g * 1000 : 0;
        row.exitStartUs = exitFade ? row.endUs - g * 1000 : -1;
    }
    applyAudioState();

    QVideoFrame frame = active.lastFrame;
    if (frame.isValid() && (f < 1.0 || h < 1.0)) {
        QElapsedTimer timer;
        timer.start();
        const QVideoFrame outgoingFrame = m_outgoingSlot >= 0 ? m_slots[m_outgoingSlot].lastFrame : QVideoFrame();
        QVideoFrame composed = composeTransitionFrame(outgoingFrame, frame, f, m_transitionKind, h);
        if (!composed.isValid())
            composed = composeThroughImages(outgoingFrame, frame, f, h);
        if (!composed.isValid()) {
            onPlayerError(m_activeSlot, QStringLiteral("Transition frame conversion failed"));
            return;
        }
        frame = composed;
        ++m_composedFrames;
        m_compositionLastMs = double(timer.nsecsElapsed()) / 1e6;
        m_compositionPeakMs = std::max(m_compositionPeakMs, m_compositionLastMs);
        m_compositionTotalMs += m_compositionLastMs;
    }
    if (f >= 1.0 && m_outgoingSlot >= 0)
        stopOutgoing();
    recordPublication(frame);
    emit frameReady(m_publishedFrame);
}

void NativeChannel::recordPublication(const QVideoFrame &frame)
{
    m_publishedFrame = frame;
    if (!frame.isValid())
        return;
    ++m_publishedFrames;
    if (frame.startTime() >= 0 && isPlaying()) {
        const qint64 lag = std::clamp<qint64>(clockUs() - (m_slots[m_activeSlot].offsetUs + frame.startTime()),
                                              0, 500000);
        const qint64 previous = m_videoLagUs.load();
        m_videoLagUs.store(previous < 0 ? lag : (lag + 15 * previous) / 16);
    }
    const qint64 nowMs = m_clock.elapsed();
    m_recentFrameTimes.push_back(nowMs);
    while (!m_recentFrameTimes.empty()
           && (nowMs - m_recentFrameTimes.front() > 1000 || m_recentFrameTimes.size() > 512))
        m_recentFrameTimes.pop_front();
}

void NativeChannel::watchRange()
{
    if (m_ended || source().isEmpty() || !isPlaying())
        return;
    const qint64 out = outPointMs();
    if (out > 0 && positionMs() >= out)
        finishRange();
}

void NativeChannel::finishRange()
{
    PlayerSlot &active = m_slots[m_activeSlot];
    if (m_ended || active.cue.source.isEmpty())
        return;
    m_ended = true;
    active.player->pause();
    active.audioOutput->setMuted(true);
    stopOutgoing();
    if (!m_preview && active.cue.exit_ms > 0 && !m_prepared) {
        // A cue that fades out ends on black rather than on its last picture.
        m_publishedFrame = QVideoFrame();
        emit frameReady(m_publishedFrame);
    }
    if (m_looping) {
        m_ended = false;
        active.player->setPosition(active.cue.in_ms);
        active.audioOutput->setMuted(true);
        active.player->play();
        realignSlot(m_activeSlot, active.cue.in_ms * 1000);
        active.realignPending = true;
        active.realignTargetUs = active.cue.in_ms * 1000;
        applyAudioState();
    } else {
        emit rangeEnded();
    }
    emit changed();
}

QImage NativeChannel::composeTransitionImage(const QImage &outgoing, const QImage &incoming, double progress,
                                             int kind)
{
    const QSize size = incoming.isNull() ? outgoing.size() : incoming.size();
    if (size.isEmpty())
        return {};
    QImage canvas(size, QImage::Format_RGB32);
    canvas.fill(Qt::black);
    const double p = std::clamp(progress, 0.0, 1.0);
    QPainter painter(&canvas);
    if (kind == 1) {
        drawFitted(painter, outgoing, 1.0);
        drawFitted(painter, incoming, p);
    } else if (kind == 2) {
        drawFitted(painter, outgoing, std::max(1.0 - 2.0 * p, 0.0));
        drawFitted(painter, incoming, std::max(2.0 * p - 1.0, 0.0));
    } else {
        drawFitted(painter, incoming, 1.0);
    }
    return canvas;
}

void NativeChannel::drawFitted(QPainter &painter, const QImage &image, double opacity)
{
    if (image.isNull() || opacity <= 0.0)
        return;
    const QRect target = painter.viewport();
    QSize fitted = image.size().scaled(target.size(), Qt::KeepAspectRatio);
    const QRect rect(target.x() + (target.width() - fitted.width()) / 2,
                     target.y() + (target.height() - fitted.height()) / 2, fitted.width(), fitted.height());
    painter.save();
    painter.setOpacity(opacity);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(rect, image);
    painter.restore();
}
