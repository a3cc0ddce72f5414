#include "link/LinkMirrorCorrection.h"

#include <algorithm>
#include <cstdlib>

qint64 LinkMirrorCorrection::foldError(qint64 errorMs, qint64 spanMs)
{
    if (spanMs <= 0)
        return errorMs;
    const qint64 half = spanMs / 2;
    return ((errorMs % spanMs) + half + spanMs) % spanMs - half;
}

LinkMirrorCorrection::Action LinkMirrorCorrection::decide(qint64 errorMs, bool syncedPlaying, qint64 msSinceSeek)
{
    Action action;
    const qint64 size = std::llabs(errorMs);
    const bool maySeek = msSinceSeek > seekIntervalMs;
    if (!syncedPlaying) {
        action.seek = size > freeSeekMs && maySeek;
        return action;
    }
    if (size > syncSeekMs) {
        action.seek = maySeek;
        return action;
    }
    if (size > rateDeadBandMs)
        action.rate = 1.0 - std::clamp(double(errorMs) / 500.0, -maxNudge, maxNudge);
    return action;
}
