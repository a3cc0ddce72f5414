#include "engine/PlaylistController.h"

#include "engine/NativeChannel.h"

#include <QScopeGuard>
#include <QTimer>
#include <algorithm>

PlaylistController::PlaylistController(NativeChannel *channel, QObject *parent)
    : QObject(parent), m_channel(channel)
{
    connect(channel, &NativeChannel::started, this, [this] { onStarted(); });
    connect(channel, &NativeChannel::changed, this, [this] { advance(); });
    connect(channel, &NativeChannel::preparedReady, this, [this] { advance(); });
    connect(channel, &NativeChannel::rangeEnded, this, [this] { advance(); });
    connect(channel, &NativeChannel::failed, this, [this] {
        failed = true;
        nextPrepared = false;
    });
}

bool PlaylistController::takeCue(const QList<Cue> &list, int index, bool fade, int fadeMs)
{
    if (index < 0 || index >= list.size() || (fade && (fadeMs < 1 || fadeMs > 10000)))
        return false;
    // A manual CUT is a hard cut and a manual FADE a dissolve, whatever the row itself asks for.
    Cue cue = list[index];
    cue.transition = fade ? 1 : 0;
    cue.transition_ms = fade ? fadeMs : 0;
    cue.enter_ms = fade ? fadeMs : 0;
    items = list;
    current = -1;
    pending = index;
    nextPrepared = false;
    failed = false;
    m_channel->cancelPreparation();
    m_channel->load(cue, true);
    return true;
}

void PlaylistController::onStarted()
{
    current = pending;
    nextPrepared = false;
    failed = false;
    emit cueStarted(current);
    QTimer::singleShot(0, this, [this] { advance(); });
}

qint64 PlaylistController::leadTimeMs() const
{
    const Cue &next = items[pending];
    if (next.transition == 0)
        return 0;
    const qint64 in = items.value(current).in_ms;
    const qint64 half = std::max<qint64>((m_channel->outPointMs() - in) / 2, 0);
    return std::min<qint64>(next.transition_ms, half);
}

void PlaylistController::advance()
{
    if (m_busy || !autoAdvance || failed || current < 0 || m_channel->source().isEmpty()
        || m_channel->outgoingSlot() != -1)
        return;
    m_busy = true;
    const auto done = qScopeGuard([this] { m_busy = false; });

    int next = current + 1;
    if (next >= items.size()) {
        if (!repeat)
            return;
        next = 0;
    }
    if (!nextPrepared) {
        nextPrepared = true;
        pending = next;
        m_channel->prepare(items[next]);
    }
    if (!m_channel->isPrepared() || pending < 0 || pending >= items.size())
        return;
    if (!m_channel->hasEnded()
        && !(m_channel->isPlaying() && m_channel->positionMs() >= m_channel->outPointMs() - leadTimeMs()))
        return;
    m_channel->take();
}

void PlaylistController::setAutoAdvance(bool on)
{
    autoAdvance = on;
    if (on) {
        m_channel->setLooping(false);
    } else if (nextPrepared) {
        nextPrepared = false;
        m_channel->cancelPreparation();
    }
    advance();
}

void PlaylistController::setRepeat(bool on)
{
    if (nextPrepared) {
        nextPrepared = false;
        m_channel->cancelPreparation();
    }
    repeat = on;
    advance();
}
