/* The stand-in OMT runtime's video codec: a lossless run-length code of 32-bit pixels, so that
 * pictures really pass through an encoder and a decoder on their way from sender to receiver.
 * Encoding: runs of (16-bit count, 32-bit pixel), little-endian, in raster order. */
#include "vmx_standin.h"

#include <string.h>

#define EXPORT __attribute__((visibility("default")))

enum { RUN_BYTES = 6, MAX_RUN = 65535 };

static void put_run(uint8_t *out, uint32_t count, uint32_t pixel)
{
    out[0] = (uint8_t)count;
    out[1] = (uint8_t)(count >> 8);
    memcpy(out + 2, &pixel, 4);
}

EXPORT size_t vmx_encoded_bound(int width, int height)
{
    if (width < 1 || height < 1)
        return 0;
    return (size_t)width * (size_t)height * RUN_BYTES;
}

EXPORT size_t vmx_encode_bgra(const uint8_t *src, int width, int height, int stride, uint8_t *dst)
{
    size_t length = 0;
    uint32_t run = 0, current = 0;
    for (int y = 0; y < height; ++y) {
        const uint8_t *row = src + (size_t)y * (size_t)stride;
        for (int x = 0; x < width; ++x) {
            uint32_t pixel;
            memcpy(&pixel, row + (size_t)x * 4, 4);
            if (run > 0 && (pixel != current || run == MAX_RUN)) {
                put_run(dst + length, run, current);
                length += RUN_BYTES;
                run = 0;
            }
            current = pixel;
            ++run;
        }
    }
    if (run > 0) {
        put_run(dst + length, run, current);
        length += RUN_BYTES;
    }
    return length;
}

EXPORT int vmx_decode_bgra(const uint8_t *src, size_t length, uint8_t *dst, int width, int height, int stride)
{
    if (width < 1 || height < 1 || stride < width * 4 || length % RUN_BYTES != 0)
        return 0;
    const size_t total = (size_t)width * (size_t)height;
    size_t written = 0;
    int x = 0;
    uint8_t *row = dst;
    for (size_t at = 0; at < length; at += RUN_BYTES) {
        const uint32_t count = (uint32_t)src[at] | ((uint32_t)src[at + 1] << 8);
        uint32_t pixel;
        memcpy(&pixel, src + at + 2, 4);
        if (count == 0 || written + count > total)
            return 0;
        written += count;
        for (uint32_t i = 0; i < count; ++i) {
            memcpy(row + (size_t)x * 4, &pixel, 4);
            if (++x == width) {
                x = 0;
                row += stride;
            }
        }
    }
    return written == total;
}
