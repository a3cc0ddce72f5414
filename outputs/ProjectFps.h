#pragma once

#include <atomic>

// The project frame rate of the whole process in frames per second; 0 means automatic (follow each
// video). The Settings page writes it; the network senders and the web streams read it on every
// frame without a lock, so a write takes effect on the next frame.
inline std::atomic<double> projectFps{0.0};

static_assert(std::atomic<double>::is_always_lock_free, "the project frame rate is read without a lock");
