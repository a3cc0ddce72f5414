#pragma once

#include "engine/Cue.h"

#include <QList>
#include <QObject>

class NativeChannel;

// Runs one Program's playlist on that Program's deck: manual CUT and FADE of a row, and in
// Sequential mode the next row prepared ahead in the idle slot and taken by itself so that its
// transition starts the fade length before the current cue's Out point.
// The self-tests set the public state directly.
class PlaylistController : public QObject
{
    Q_OBJECT
public:
    PlaylistController(NativeChannel *channel, QObject *parent = nullptr);

    bool takeCue(const QList<Cue> &items, int index, bool fade, int fadeMs);
    void advance();
    void setAutoAdvance(bool on);
    void setRepeat(bool on);

    int currentIndex() const { return current; }
    NativeChannel *channel() const { return m_channel; }

    QList<Cue> items;
    int current = -1;
    int pending = 0;
    bool autoAdvance = false;
    bool repeat = false;
    bool nextPrepared = false;
    bool failed = false;

signals:
    void cueStarted(int index);

private:
    void onStarted();
    qint64 leadTimeMs() const;

    NativeChannel *m_channel;
    bool m_busy = false;
};
