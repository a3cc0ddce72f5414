#pragma once

#include <QString>

int runSmoke(const QString &fixtures, const QString &result);
