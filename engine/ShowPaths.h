#pragma once

#include "engine/Show.h"

#include <QString>

// Media paths of a show are stored relative to the show file's folder when they lie inside it, and
// made absolute again after reading, so that a show folder can be moved together with its media.
// Paths are POSIX paths and are compared case-sensitively: two files that differ only in letter
// case are two files. The scanned folders are never rewritten. Plain functions on a Show value,
// safe on any thread.

// Before writing: every library entry and Cue source (top-level playlist and every Program) that
// lies below the folder of showPath becomes relative to it; everything else stays exactly as it was.
void makeShowPathsRelative(Show &show, const QString &showPath);

// After reading: every non-empty relative entry becomes the show file's folder joined with it,
// cleaned. Absolute entries are kept as they are; an empty showPath changes nothing.
void resolveShowPaths(Show &show, const QString &showPath);
