#pragma once

#include <QString>

// Cue verification on the muted Preview deck with real local media, then the engine metrics of a
// playing Program deck. fixtures names the folder that holds "fixtures/01-h264.mp4" and
// "fixtures/03-h264.mkv".
int runReadinessTests(const QString &fixtures, const QString &result);
