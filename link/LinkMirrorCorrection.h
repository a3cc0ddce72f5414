#pragma once

#include <QtGlobal>

// The position rule of a mirroring follower: how a signed position error (follower minus master,
// in ms) becomes a playback-rate nudge or a seek. Kept apart from the window so the thresholds can
// be checked without decks. Pure functions, any thread.
class LinkMirrorCorrection
{
public:
    static constexpr qint64 rateDeadBandMs = 8;
    static constexpr qint64 syncSeekMs = 250;
    static constexpr qint64 freeSeekMs = 80;
    static constexpr qint64 seekIntervalMs = 1000;
    static constexpr double maxNudge = 0.05;

    struct Action
    {
        double rate = 1.0;  // playback rate to set
        bool seek = false;  // seek by -error
    };

    // Folds an error on a looping clip of the given span into [-span/2, span - span/2).
    static qint64 foldError(qint64 errorMs, qint64 spanMs);
    // syncedPlaying: the master runs synchronized takes and plays; msSinceSeek: time since the
    // last seek or cue load of that Program. A seek always comes with rate 1.0.
    static Action decide(qint64 errorMs, bool syncedPlaying, qint64 msSinceSeek);
};
