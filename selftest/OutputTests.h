#pragma once

#include <QString>

// The "output-test" suite: fit and device-pixel geometry, the CPU Lanczos scaler, the shared scaled
// frame feeds, a native full-screen output of a decoded 4K clip and two short scaled streams.
// Returns 0 when every case passed, 2 when one failed, 3 when the report cannot be written.
int runOutputTests(const QString &fixtures, const QString &result);
