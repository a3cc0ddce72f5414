#pragma once

#include <QJsonValue>

#include <cmath>

// Reads a JSON number that must be whole and lie within [low, high]. The range is checked on the
// double before any conversion, so no value in a document can overflow the int.
inline bool readWholeNumber(const QJsonValue &value, int low, int high, int &number)
{
    if (!value.isDouble())
        return false;
    const double d = value.toDouble();
    if (!std::isfinite(d) || std::trunc(d) != d || d < low || d > high)
        return false;
    number = int(d);
    return true;
}
