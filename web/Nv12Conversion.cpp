#include "web/Nv12Conversion.h"

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

namespace {

std::atomic<int> threadsOverride{0};

int hardwareThreads()
{
    const int forced = threadsOverride.load();
    return forced > 0 ? forced : int(std::thread::hardware_concurrency());
}

inline uint8_t clampChroma(int value)
{
    return uint8_t(std::clamp(value, 16, 240));
}

} // namespace

void setNv12ThreadsForTesting(int threads)
{
    threadsOverride = threads;
}

int nv12BandRows(int height, int workers)
{
    const int band = (height / std::max(1, workers) + 1) & ~1;
    return std::max(2, band);
}

void convertRowsToNv12(const QImage &picture, uint8_t *out, int firstRow, int endRow)
{
    const int w = picture.width();
    const int h = picture.height();
    uint8_t *luma = out;
    uint8_t *chroma = out + size_t(w) * h;
    for (int r = firstRow; r < endRow; r += 2) {
        const auto *top = reinterpret_cast<const QRgb *>(picture.constScanLine(r));
        const auto *bottom = reinterpret_cast<const QRgb *>(picture.constScanLine(std::min(r + 1, h - 1)));
        uint8_t *yTop = luma + size_t(r) * w;
        uint8_t *yBottom = luma + size_t(std::min(r + 1, h - 1)) * w;
        uint8_t *cbcr = chroma + size_t(r / 2) * w;
        for (int c = 0; c < w; c += 2) {
            // An odd last column or row repeats its neighbour rather than reading past the picture.
            const int c1 = std::min(c + 1, w - 1);
            const QRgb px[4] = {top[c], top[c1], bottom[c], bottom[c1]};
            uint8_t *dst[4] = {yTop + c, yTop + c1, yBottom + c, yBottom + c1};
            int sumR = 0, sumG = 0, sumB = 0;
            for (int i = 0; i < 4; ++i) {
                const int R = qRed(px[i]), G = qGreen(px[i]), B = qBlue(px[i]);
                *dst[i] = uint8_t(((16 * B + 157 * G + 47 * R + 128) >> 8) + 16);
                sumR += R;
                sumG += G;
                sumB += B;
            }
            const int R = (sumR + 2) >> 2, G = (sumG + 2) >> 2, B = (sumB + 2) >> 2;
            cbcr[c] = clampChroma(((112 * B - 87 * G - 26 * R + 128) >> 8) + 128);
            if (c + 1 < w)
                cbcr[c + 1] = clampChroma(((112 * R - 102 * G - 10 * B + 128) >> 8) + 128);
        }
    }
}

void convertToNv12(const QImage &source, uint8_t *out)
{
    QImage picture = source;
    if (picture.format() != QImage::Format_RGB32 && picture.format() != QImage::Format_ARGB32)
        picture = picture.convertToFormat(QImage::Format_RGB32);
    const int w = picture.width();
    const int h = picture.height();
    const int threads = hardwareThreads();
    if (qint64(w) * h <= 921599 || threads <= 1) {
        convertRowsToNv12(picture, out, 0, h);
        return;
    }
    const int workers = std::min(threads, 8);
    const int band = nv12BandRows(h, workers);
    std::vector<std::thread> bands;
    for (int start = 0; start < h; start += band)
        bands.emplace_back(convertRowsToNv12, std::cref(picture), out, start, std::min(start + band, h));
    for (std::thread &t : bands)
        t.join();
}
