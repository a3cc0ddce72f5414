#pragma once

#include "engine/Cue.h"

#include <QString>
#include <QtGlobal>

// The cue editor's apply step without its widgets: the editor's second fields become a candidate
// Cue, which is validated against the Preview's duration when the Preview holds that very source.
// Kept apart from the window so that the conversions can be checked on their own. Plain value
// functions, GUI thread in practice.

struct CueEditorFields
{
    double inSeconds = 0;
    double outSeconds = -1;        // negative: play to the end of the media
    int transition = 0;            // 0 cut, 1 dissolve, 2 fade through black
    double transitionSeconds = 0.3;
    double enterSeconds = 0;
    double exitSeconds = 0;
};

struct CueEdit
{
    Cue candidate;
    QString error;              // empty when the candidate is valid
    bool trimChanged = false;   // In or Out differ from the stored Cue
};

// Seconds to whole milliseconds, rounded half away from zero (1.2345 s is 1235 ms). Values beyond
// the 64-bit range saturate; NaN gives the lowest value, which no Cue rule accepts.
qint64 msFromSeconds(double seconds);

// The stored Cue with its numbers replaced from the fields; the source is never edited. The
// Preview's duration counts only when previewSource is exactly (case-sensitively) the Cue's source.
// A candidate that a show file could not hold (a trim beyond seven days, an unknown transition) is
// refused as well.
CueEdit editCue(const Cue &stored, const CueEditorFields &fields, const QString &previewSource,
                qint64 previewDurationMs);
