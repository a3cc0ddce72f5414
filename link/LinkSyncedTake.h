#pragma once

#include <QObject>
#include <QPointer>
#include <QTimer>
#include <functional>

class NativeChannel;

// One armed switch of a synchronized take: at a given instant of the Link clock the deck takes the
// cue it was asked to prepare. The switch belongs to that one request: it remembers the deck's
// request generation and does nothing when another preparation replaced it, and it waits for a
// late preparation only up to prepareTimeoutMs, so it can never take an unrelated cue on air
// later. A switch that comes 9 ms or more late seeks forward by its lateness to stay in step with
// the machines that switched on time. Lives on the GUI thread as a child of its owner, which it
// outlives never; it deletes itself when done.
class LinkSyncedTake : public QObject
{
    Q_OBJECT

public:
    static constexpr int prepareTimeoutMs = 5000;
    static constexpr qint64 lateSeekUs = 9000;

    // Arms the switch for the deck's current request. clockUs reads the Link clock.
    static LinkSyncedTake *schedule(QObject *owner, NativeChannel *deck, qint64 atUs, std::function<qint64()> clockUs);

    quint64 generation() const { return requestGeneration; }
    // Test seam: how long a late preparation is waited for.
    void setPrepareTimeoutForTesting(int ms) { prepareWaitMs = ms; }

signals:
    // taken: the deck switched to this request; latenessUs: how late the switch was.
    void finished(bool taken, qint64 latenessUs);

private:
    LinkSyncedTake(QObject *owner, NativeChannel *deck, qint64 atUs, std::function<qint64()> clockUs);
    void armTimer();
    void fire();
    void switchNow();
    void finish(bool taken, qint64 latenessUs);
    bool stillOurs() const;

    QPointer<NativeChannel> deck;
    quint64 requestGeneration = 0;
    qint64 atUs = 0;
    std::function<qint64()> clockUs;
    QTimer timer;
    QTimer timeout;
    QMetaObject::Connection waiting;
    int prepareWaitMs = prepareTimeoutMs;
    bool done = false;
};
