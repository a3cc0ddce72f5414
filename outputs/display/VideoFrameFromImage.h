#pragma once

#include <QImage>
#include <QVideoFrame>

// Wraps a picture into a video frame of the matching RGB pixel format (Qt 6.4 has no QVideoFrame
// constructor taking a QImage). Pictures in a format no video pixel format matches are converted to
// RGBA8888 first. frameRate, when above 0, is carried in the frame's format as the stream rate.
// A null picture gives an invalid frame.
QVideoFrame videoFrameFromImage(const QImage &image, qreal frameRate = 0.0);
