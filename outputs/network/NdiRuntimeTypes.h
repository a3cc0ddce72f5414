#pragma once

// The NDI runtime's calling interface as this program uses it: the structures it passes, the
// values it relies on and the type of every entry point it resolves. Plain C, so that the test
// stand-in runtime compiles against the very same declarations.

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef void *NDIlib_send_instance_t;
typedef void *NDIlib_recv_instance_t;
typedef void *NDIlib_find_instance_t;

// Asks the runtime to stamp a frame with a timecode of its own.
#define NDIlib_timecode_synthesize INT64_MAX

// Four-character codes are stored first character in the lowest byte.
#define NDIlib_fourcc(a, b, c, d)                                                                      \
    ((uint32_t)(uint8_t)(a) | ((uint32_t)(uint8_t)(b) << 8) | ((uint32_t)(uint8_t)(c) << 16)          \
     | ((uint32_t)(uint8_t)(d) << 24))
#define NDIlib_FourCC_type_BGRA NDIlib_fourcc('B', 'G', 'R', 'A')

enum {
    NDIlib_frame_format_type_progressive = 1,
};

enum {
    NDIlib_frame_type_none = 0,
    NDIlib_frame_type_video = 1,
    NDIlib_frame_type_audio = 2,
    NDIlib_frame_type_metadata = 3,
    NDIlib_frame_type_error = 4,
};

enum {
    NDIlib_recv_color_format_BGRX_BGRA = 0,
    NDIlib_recv_bandwidth_highest = 100,
};

typedef struct NDIlib_source_t {
    const char *p_ndi_name;
    const char *p_url_address;
} NDIlib_source_t;

typedef struct NDIlib_send_create_t {
    const char *p_ndi_name;
    const char *p_groups;
    bool clock_video;
    bool clock_audio;
} NDIlib_send_create_t;

typedef struct NDIlib_video_frame_v2_t {
    int xres;
    int yres;
    uint32_t FourCC;
    int frame_rate_N;
    int frame_rate_D;
    float picture_aspect_ratio;
    int frame_format_type;
    int64_t timecode;
    uint8_t *p_data;
    int line_stride_in_bytes;
    const char *p_metadata;
    int64_t timestamp;
} NDIlib_video_frame_v2_t;

typedef struct NDIlib_audio_frame_v2_t {
    int sample_rate;
    int no_channels;
    int no_samples;
    int64_t timecode;
    float *p_data;
    int channel_stride_in_bytes;
    const char *p_metadata;
    int64_t timestamp;
} NDIlib_audio_frame_v2_t;

typedef struct NDIlib_metadata_frame_t {
    int length;
    int64_t timecode;
    char *p_data;
} NDIlib_metadata_frame_t;

typedef struct NDIlib_recv_create_v3_t {
    NDIlib_source_t source_to_connect_to;
    int color_format;
    int bandwidth;
    bool allow_video_fields;
    const char *p_ndi_recv_name;
} NDIlib_recv_create_v3_t;

typedef struct NDIlib_find_create_t {
    bool show_local_sources;
    const char *p_groups;
    const char *p_extra_ips;
} NDIlib_find_create_t;

typedef bool (*NDIlib_initialize_fn)(void);
typedef void (*NDIlib_destroy_fn)(void);
typedef const char *(*NDIlib_version_fn)(void);
typedef NDIlib_send_instance_t (*NDIlib_send_create_fn)(const NDIlib_send_create_t *settings);
typedef void (*NDIlib_send_destroy_fn)(NDIlib_send_instance_t instance);
typedef void (*NDIlib_send_send_video_v2_fn)(NDIlib_send_instance_t instance,
                                             const NDIlib_video_frame_v2_t *frame);
typedef void (*NDIlib_send_send_audio_v2_fn)(NDIlib_send_instance_t instance,
                                             const NDIlib_audio_frame_v2_t *frame);
typedef const NDIlib_source_t *(*NDIlib_send_get_source_name_fn)(NDIlib_send_instance_t instance);
typedef int (*NDIlib_send_get_no_connections_fn)(NDIlib_send_instance_t instance, uint32_t timeoutMs);
typedef NDIlib_recv_instance_t (*NDIlib_recv_create_v3_fn)(const NDIlib_recv_create_v3_t *settings);
typedef void (*NDIlib_recv_destroy_fn)(NDIlib_recv_instance_t instance);
typedef int (*NDIlib_recv_capture_v2_fn)(NDIlib_recv_instance_t instance, NDIlib_video_frame_v2_t *video,
                                         NDIlib_audio_frame_v2_t *audio, NDIlib_metadata_frame_t *metadata,
                                         uint32_t timeoutMs);
typedef void (*NDIlib_recv_free_video_v2_fn)(NDIlib_recv_instance_t instance,
                                             const NDIlib_video_frame_v2_t *frame);
typedef void (*NDIlib_recv_free_audio_v2_fn)(NDIlib_recv_instance_t instance,
                                             const NDIlib_audio_frame_v2_t *frame);
typedef NDIlib_find_instance_t (*NDIlib_find_create_v2_fn)(const NDIlib_find_create_t *settings);
typedef void (*NDIlib_find_destroy_fn)(NDIlib_find_instance_t instance);
typedef const NDIlib_source_t *(*NDIlib_find_get_current_sources_fn)(NDIlib_find_instance_t instance,
                                                                     uint32_t *count);

#ifdef __cplusplus
}
#endif
