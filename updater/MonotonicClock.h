#pragma once

#include <ctime>

// Milliseconds of the monotonic clock, for the updater's time limits.
inline long long monotonicMs()
{
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}
