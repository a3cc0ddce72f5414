#pragma once

#include <QImage>
#include <cstdint>

// RGB to NV12 for the web stream's H.264 encoder: BT.709 limited range, integer only, one pass
// that writes both planes. Runs on the stream's encoder thread; pictures of 1280x720 and more are
// split into bands of whole row pairs over short-lived worker threads (at most 8), which only read
// the picture and write their own rows, so the encoder keeps up with 2160p at the stream's rate.
// The picture is 32-bit RGB or ARGB with even width and height; out holds w x h x 3 / 2 bytes.

void convertToNv12(const QImage &picture, uint8_t *out);

// Converts the row pairs firstRow, firstRow + 2, ... below endRow.
void convertRowsToNv12(const QImage &picture, uint8_t *out, int firstRow, int endRow);

// Rows per worker band for a picture of the given height: even and at least 2, so that bands never
// share a row pair and a very wide, flat picture still makes progress.
int nv12BandRows(int height, int workers);

// Test seam: the hardware thread count the conversion plans with (0 restores the machine's).
void setNv12ThreadsForTesting(int threads);
