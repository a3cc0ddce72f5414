#pragma once

#include <QtGlobal>

// The media clock of a player: media time in microseconds as a function of the monotonic clock
// (CLOCK_MONOTONIC, nanoseconds), advancing at the playback rate while running and frozen while
// paused. Nothing else (no sound card) paces it.
class PlaybackClock
{
public:
    static qint64 nowNs();

    // Media time mediaUs is "now" at wallNs; the clock runs unless paused is set.
    void start(qint64 mediaUs, qint64 wallNs, double rate, bool paused);
    void pause(qint64 wallNs);
    void resume(qint64 wallNs);
    void setRate(qint64 wallNs, double rate);
    // Continues seamlessly with media time toUs at the moment the clock reaches fromUs (a loop).
    void rebase(qint64 fromUs, qint64 toUs);

    qint64 mediaAt(qint64 wallNs) const;
    // Monotonic time at which the running clock reaches mediaUs.
    qint64 wallAt(qint64 mediaUs) const;
    bool isRunning() const { return !m_paused; }

private:
    qint64 m_anchorMediaUs = 0;
    qint64 m_anchorWallNs = 0;
    double m_rate = 1.0;
    bool m_paused = true;
};
