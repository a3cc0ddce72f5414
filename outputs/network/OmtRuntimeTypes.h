#pragma once

// The OMT runtime's calling interface as this program uses it: the media frame it passes, the values
// it relies on and the type of every entry point it resolves. Plain C, so that the test stand-in
// runtime compiles against the very same declarations.

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct omt_send_s omt_send_t;
typedef struct omt_receive_s omt_receive_t;

enum {
    OMTFrameType_None = 0,
    OMTFrameType_Metadata = 1,
    OMTFrameType_Video = 2,
    OMTFrameType_Audio = 4,
};

// Four-character codes, first character in the lowest byte.
#define OMT_fourcc(a, b, c, d)                                                                         \
    ((int)((uint32_t)(uint8_t)(a) | ((uint32_t)(uint8_t)(b) << 8) | ((uint32_t)(uint8_t)(c) << 16)     \
           | ((uint32_t)(uint8_t)(d) << 24)))
#define OMTCodec_BGRA OMT_fourcc('B', 'G', 'R', 'A')
#define OMTCodec_FPA1 OMT_fourcc('F', 'P', 'A', '1')

enum {
    OMTPreferredVideoFormat_BGRA = 2,
    OMTColorSpace_BT709 = 709,
    OMTQuality_Best = 100,
};

// Timestamps count 100-nanosecond units. Audio data is planar 32-bit float.
typedef struct OMTMediaFrame {
    int Type;
    int64_t Timestamp;
    int Codec;
    int Width;
    int Height;
    int Stride;
    int Flags;
    int FrameRateN;
    int FrameRateD;
    float AspectRatio;
    int ColorSpace;
    int SampleRate;
    int Channels;
    int SamplesPerChannel;
    void *Data;
    int DataLength;
} OMTMediaFrame;

typedef omt_send_t *(*omt_send_create_fn)(const char *name, int quality);
typedef void (*omt_send_destroy_fn)(omt_send_t *instance);
typedef int (*omt_send_fn)(omt_send_t *instance, OMTMediaFrame *frame);
typedef int (*omt_send_getaddress_fn)(omt_send_t *instance, char *address, int maxLength);
typedef int (*omt_send_connections_fn)(omt_send_t *instance);
typedef omt_receive_t *(*omt_receive_create_fn)(const char *address, int frameTypes, int preferredVideoFormat,
                                                 int flags);
typedef void (*omt_receive_destroy_fn)(omt_receive_t *instance);
typedef OMTMediaFrame *(*omt_receive_fn)(omt_receive_t *instance, int frameTypes, int timeoutMs);
typedef char **(*omt_discovery_getaddresses_fn)(int *count);
typedef void (*omt_setloggingfilename_fn)(const char *filename);
typedef void (*omt_shutdown_fn)(void);

#ifdef __cplusplus
}
#endif
