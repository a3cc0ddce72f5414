#pragma once

// A frame rate as the network protocols carry it: numerator / denominator frames per second.
struct FrameRateFraction
{
    int numerator = 30000;
    int denominator = 1000;

    bool operator==(const FrameRateFraction &other) const = default;
};

// The NTSC-family rates (23.976, 29.97, 47.952, 59.94) become exact x000/1001 fractions; any other
// rate is counted in thousandths of a frame (25 gives 25000/1000). A rate that is not finite or
// not above 0 gives the 30 fps default.
FrameRateFraction frameRateFraction(double fps);
