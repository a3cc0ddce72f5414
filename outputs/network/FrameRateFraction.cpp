#include "outputs/network/FrameRateFraction.h"

#include <cmath>
#include <initializer_list>

FrameRateFraction frameRateFraction(double fps)
{
    if (!std::isfinite(fps) || fps <= 0.0 || fps > 1.0e6)
        return {};
    for (const int base : {24, 30, 48, 60}) {
        if (std::abs(fps - base * 1000.0 / 1001.0) < 0.01)
            return {base * 1000, 1001};
    }
    return {int(std::lround(fps * 1000.0)), 1000};
}
