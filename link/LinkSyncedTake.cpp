#include "link/LinkSyncedTake.h"

#include "engine/NativeChannel.h"

LinkSyncedTake *LinkSyncedTake::schedule(QObject *owner, NativeChannel *deck, qint64 atUs,
                                         std::function<qint64()> clockUs)
{
    return new LinkSyncedTake(owner, deck, atUs, std::move(clockUs));
}

LinkSyncedTake::LinkSyncedTake(QObject *owner, NativeChannel *channel, qint64 at, std::function<qint64()> clock)
    : QObject(owner), deck(channel), requestGeneration(channel ? channel->requestGeneration() : 0), atUs(at),
      clockUs(std::move(clock))
{
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    connect(&timer, &QTimer::timeout, this, &LinkSyncedTake::fire);
    timeout.setSingleShot(true);
    connect(&timeout, &QTimer::timeout, this, [this] { finish(false, clockUs() - atUs); });
    armTimer();
}

// Rounded up: a timer of whole milliseconds must never let the switch come before its instant.
void LinkSyncedTake::armTimer()
{
    const qint64 leftUs = atUs - clockUs();
    timer.start(int(qMax<qint64>(0, (leftUs + 999) / 1000)));
}

bool LinkSyncedTake::stillOurs() const
{
    return deck && deck->requestGeneration() == requestGeneration;
}

void LinkSyncedTake::fire()
{
    // The timer runs on the steady clock, the instant on the Link clock; wait out what is left.
    if (clockUs() < atUs) {
        armTimer();
        return;
    }
    if (!stillOurs()) {
        finish(false, clockUs() - atUs);
        return;
    }
    // A deck that is ready switches now; when the moment has already passed (the take reached this
    // machine late) it still starts where the machines that switched on time are.
    if (deck->isPrepared() && deck->preparedSlot() >= 0) {
        switchNow();
        return;
    }
    waiting = connect(deck, &NativeChannel::preparedReady, this, &LinkSyncedTake::switchNow);
    timeout.start(prepareWaitMs);
}

void LinkSyncedTake::switchNow()
{
    if (!stillOurs()) {
        finish(false, clockUs() - atUs);
        return;
    }
    deck->take();
    const qint64 latenessUs = clockUs() - atUs;
    if (latenessUs >= lateSeekUs && deck->activeSlot() >= 0)
        deck->seek(deck->slot(deck->activeSlot()).cue.in_ms + latenessUs / 1000);
    finish(true, latenessUs);
}

void LinkSyncedTake::finish(bool taken, qint64 latenessUs)
{
    if (done)
        return;
    done = true;
    disconnect(waiting);
    timer.stop();
    timeout.stop();
    emit finished(taken, latenessUs);
    deleteLater();
}
