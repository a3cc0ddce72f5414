#include "engine/CueEdit.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// Durations are ints in a Cue; anything outside the int range fails validation as it is.
int clampedInt(qint64 ms)
{
    return int(std::clamp<qint64>(ms, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
}

} // namespace

qint64 msFromSeconds(double seconds)
{
    if (std::isnan(seconds))
        return std::numeric_limits<qint64>::min();
    // Whole microseconds first: the fields hold decimal seconds, and 1.2345 * 1000 in binary can
    // land a hair below 1234.5. Rounding to the microsecond removes that error, and the quotient
    // of a whole number of microseconds by 1000 is exact at every half.
    const double micros = std::round(seconds * 1e6);
    const double ms = std::round(micros / 1000.0);
    constexpr double limit = 9.0e18;
    if (ms >= limit)
        return std::numeric_limits<qint64>::max();
    if (ms <= -limit)
        return std::numeric_limits<qint64>::min();
    return qint64(ms);
}

CueEdit editCue(const Cue &stored, const CueEditorFields &fields, const QString &previewSource,
                qint64 previewDurationMs)
{
    CueEdit edit;
    Cue &cue = edit.candidate;
    cue = stored;
    cue.in_ms = msFromSeconds(fields.inSeconds);
    cue.out_ms = fields.outSeconds < 0 ? -1 : msFromSeconds(fields.outSeconds);
    cue.transition = fields.transition;
    cue.transition_ms = clampedInt(msFromSeconds(fields.transitionSeconds));
    cue.enter_ms = clampedInt(msFromSeconds(fields.enterSeconds));
    cue.exit_ms = clampedInt(msFromSeconds(fields.exitSeconds));

    const bool sameMedia = cue.source == previewSource;
    edit.error = cue.validate(sameMedia ? previewDurationMs : 0);
    // What is stored must also read back: a show file with a Cue its reader refuses could not be
    // opened again. Without a known duration nothing else stops a trim beyond seven days.
    Cue readBack;
    if (edit.error.isEmpty() && !readCue(jsonFromCue(cue), readBack, false)) {
        edit.error = cue.transition < 0 || cue.transition > 2 ? QStringLiteral("Unknown transition")
                                                              : QStringLiteral("Trim exceeds media duration");
    }
    edit.trimChanged = cue.in_ms != stored.in_ms || cue.out_ms != stored.out_ms;
    return edit;
}
