#pragma once

#include <QString>

// The built-in test runners. Each takes the fixtures directory and the report path and returns the
// process exit code: 0 all passed, 2 a case failed, 3 the report could not be written.
int runUpdateTests(const QString &fixtures, const QString &result, bool live);
