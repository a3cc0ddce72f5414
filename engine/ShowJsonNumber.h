#pragma once

#include <QJsonValue>

#include <cmath>

// Reads a JSON number that must be whole and lie within [low, high]. The range is checked on the
// double before any conversion, so no value in a document can overflow the integer.
template <typename Integer>
bool readWholeNumber(const QJsonValue &value, Integer low, Integer high, Integer &number)
{
    if (!value.isDouble())
        return false;
    const double d = value.toDouble();
    if (!std::isfinite(d) || std::trunc(d) != d || d < double(low) || d > double(high))
        return false;
    number = Integer(d);
    return true;
}
