#pragma once

#include <QString>

int runTransportTests(const QString &fixtures, const QString &result);
