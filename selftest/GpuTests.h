#pragma once

#include <QString>

// The "gpu-test" suite: the GPU Lanczos scaler on an offscreen OpenGL 3.3 context, the per-Program
// frame caches, an output window in GPU mode with its native fallbacks, and two 4-second playback
// streams through a GPU surface. Returns 0 when every case passed, 2 when one failed, 3 when the
// report cannot be written.
int runGpuTests(const QString &fixtures, const QString &result);
