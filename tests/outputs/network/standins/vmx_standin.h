/* The stand-in OMT runtime's video codec: a lossless run-length code of 32-bit pixels. */
#pragma once

#include <stddef.h>
#include <stdint.h>

/* The largest encoding of a width x height picture. */
size_t vmx_encoded_bound(int width, int height);
/* Encodes the picture into dst (at least vmx_encoded_bound bytes); returns the encoded length. */
size_t vmx_encode_bgra(const uint8_t *src, int width, int height, int stride, uint8_t *dst);
/* Decodes into dst; returns 1 when the data described exactly a width x height picture. */
int vmx_decode_bgra(const uint8_t *src, size_t length, uint8_t *dst, int width, int height, int stride);
