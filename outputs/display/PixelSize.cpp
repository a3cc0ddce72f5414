#include "outputs/display/PixelSize.h"

#include <cmath>
#include <limits>

QSize devicePixelSize(QSize logical, qreal devicePixelRatio)
{
    if (logical.isEmpty() || !std::isfinite(devicePixelRatio) || devicePixelRatio <= 0)
        return {};
    const double width = std::round(logical.width() * devicePixelRatio);
    const double height = std::round(logical.height() * devicePixelRatio);
    // A size that no int can hold is no size a window can have.
    constexpr double limit = std::numeric_limits<int>::max();
    if (width > limit || height > limit)
        return {};
    return QSize(int(width), int(height));
}

QSize fitSize(QSize source, QSize bounds)
{
    if (source.isEmpty() || bounds.isEmpty())
        return {};
    return source.scaled(bounds, Qt::KeepAspectRatio);
}
