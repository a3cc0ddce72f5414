#pragma once

#include <QString>
#include <QVideoFrame>

// Which frames the Lanczos scalers may resample. Both work on 8-bit gamma-encoded RGB pictures
// drawn upright; anything else is shown by the native view, which renders it faithfully.

// The notice sent when a frame is left to the native view.
QString highDepthNotice();

// True for high-depth pixel formats, HDR transfers, rotated or mirrored frames and frames whose
// viewport is not the whole frame.
bool needsNativeScaling(const QVideoFrame &frame);

// The GPU path's gate: the notice for a frame needsNativeScaling() refuses or one that carries
// subtitle text (the GPU path draws none), else an empty text.
QString gpuRefusalReason(const QVideoFrame &frame);
