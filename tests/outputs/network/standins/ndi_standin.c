/* A stand-in for the NDI runtime, for tests on machines without it. It implements the entry points
 * the program resolves with an in-process transport: a sender hands each frame to every receiver
 * connected to its source name, a receiver captures them back in order. Like a real source, a
 * sender keeps its last picture and replays it to a receiver that connects later, with the same
 * timecode, metadata and bytes and a new delivery timestamp. Timecodes the sender leaves to the
 * runtime are synthesised from the wall clock, strictly rising per sender and stream.
 *
 * Built variants: STANDIN_INIT_FAILS makes NDIlib_initialize refuse; STANDIN_INCOMPLETE leaves out
 * one entry point. */
#define _GNU_SOURCE
#include "outputs/network/NdiRuntimeTypes.h"
#include "standin_queue.h"

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#define EXPORT __attribute__((visibility("default")))

/* A receiver holds at most this many frames of each kind. */
enum { MAX_QUEUED_VIDEO = 4, MAX_QUEUED_AUDIO = 16 };

typedef struct sender {
    char *ndi_name;
    NDIlib_source_t source;
    int clock_video;
    int clock_audio;
    int has_groups;
    int64_t last_video_timecode;
    int64_t last_audio_timecode;
    NDIlib_video_frame_v2_t cached; /* the last picture, for receivers that connect later */
    standin_payload *cached_bytes;
    struct sender *next;
} sender;

typedef struct receiver {
    char *wanted;
    sender *connected;
    standin_queue queue;
    int64_t last_timestamp;
    struct receiver *next;
} receiver;

typedef struct finder {
    NDIlib_source_t *sources;
    char **names;
    uint32_t count;
} finder;

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static sender *senders;
static receiver *receivers;
static int refuse_senders;

static int64_t now_100ns(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return (int64_t)ts.tv_sec * 10000000 + ts.tv_nsec / 100;
}

static int64_t rising(int64_t last, int64_t candidate)
{
    return candidate > last ? candidate : last + 1;
}

/* Queues a picture or sound frame (sharing its bytes) with a fresh delivery timestamp. */
static void deliver_video(receiver *r, const NDIlib_video_frame_v2_t *frame, standin_payload *bytes)
{
    standin_entry *e = standin_queue_push(&r->queue, NDIlib_frame_type_video, frame, sizeof *frame, bytes,
                                          MAX_QUEUED_VIDEO);
    r->last_timestamp = rising(r->last_timestamp, now_100ns());
    if (e)
        ((NDIlib_video_frame_v2_t *)e->header)->timestamp = r->last_timestamp;
}

static void deliver_audio(receiver *r, const NDIlib_audio_frame_v2_t *frame, standin_payload *bytes)
{
    standin_entry *e = standin_queue_push(&r->queue, NDIlib_frame_type_audio, frame, sizeof *frame, bytes,
                                          MAX_QUEUED_AUDIO);
    r->last_timestamp = rising(r->last_timestamp, now_100ns());
    if (e)
        ((NDIlib_audio_frame_v2_t *)e->header)->timestamp = r->last_timestamp;
}

static void try_connect(receiver *r)
{
    if (r->connected || !r->wanted)
        return;
    for (sender *s = senders; s; s = s->next) {
        if (strcmp(s->ndi_name, r->wanted) != 0)
            continue;
        r->connected = s;
        if (s->cached_bytes)
            deliver_video(r, &s->cached, s->cached_bytes);
        return;
    }
}

EXPORT bool NDIlib_initialize(void)
{
#ifdef STANDIN_INIT_FAILS
    return false;
#else
    return true;
#endif
}

EXPORT void NDIlib_destroy(void) {}

EXPORT const char *NDIlib_version(void)
{
    return "Zelvo test stand-in NDI runtime 6 (not the NDI runtime)";
}

EXPORT NDIlib_send_instance_t NDIlib_send_create(const NDIlib_send_create_t *settings)
{
    if (!settings || !settings->p_ndi_name || !settings->p_ndi_name[0])
        return NULL;
    pthread_mutex_lock(&lock);
    sender *s = refuse_senders ? NULL : calloc(1, sizeof(sender));
    if (s) {
        char host[64] = "STANDIN";
        gethostname(host, sizeof host - 1);
        host[sizeof host - 1] = 0;
        const size_t size = strlen(host) + strlen(settings->p_ndi_name) + 4;
        s->ndi_name = malloc(size);
        snprintf(s->ndi_name, size, "%s (%s)", host, settings->p_ndi_name);
        s->source.p_ndi_name = s->ndi_name;
        s->clock_video = settings->clock_video;
        s->clock_audio = settings->clock_audio;
        s->has_groups = settings->p_groups != NULL;
        s->last_video_timecode = -1;
        s->last_audio_timecode = -1;
        s->next = senders;
        senders = s;
    }
    pthread_mutex_unlock(&lock);
    return s;
}

EXPORT void NDIlib_send_destroy(NDIlib_send_instance_t instance)
{
    sender *s = instance;
    if (!s)
        return;
    pthread_mutex_lock(&lock);
    for (sender **link = &senders; *link; link = &(*link)->next) {
        if (*link == s) {
            *link = s->next;
            break;
        }
    }
    for (receiver *r = receivers; r; r = r->next) {
        if (r->connected == s)
            r->connected = NULL;
    }
    standin_payload_release(s->cached_bytes);
    pthread_mutex_unlock(&lock);
    free(s->ndi_name);
    free(s);
}

EXPORT void NDIlib_send_send_video_v2(NDIlib_send_instance_t instance, const NDIlib_video_frame_v2_t *frame)
{
    sender *s = instance;
    if (!s || !frame || !frame->p_data || frame->xres < 1 || frame->yres < 1
        || frame->FourCC != NDIlib_FourCC_type_BGRA || frame->line_stride_in_bytes < frame->xres * 4)
        return;
    const size_t pixels = (size_t)frame->line_stride_in_bytes * (size_t)frame->yres;
    const size_t metadata = frame->p_metadata ? strlen(frame->p_metadata) + 1 : 0;
    standin_payload *bytes = standin_payload_new(pixels + metadata);
    if (!bytes)
        return;
    memcpy(bytes->data, frame->p_data, pixels); /* the caller's memory is valid only during the call */
    if (metadata)
        memcpy(bytes->data + pixels, frame->p_metadata, metadata);

    NDIlib_video_frame_v2_t copy = *frame;
    copy.p_data = bytes->data;
    copy.p_metadata = metadata ? (const char *)bytes->data + pixels : NULL;
    pthread_mutex_lock(&lock);
    s->last_video_timecode = frame->timecode == NDIlib_timecode_synthesize
                                 ? rising(s->last_video_timecode, now_100ns())
                                 : frame->timecode;
    copy.timecode = s->last_video_timecode;
    for (receiver *r = receivers; r; r = r->next) {
        if (r->connected == s)
            deliver_video(r, &copy, bytes);
    }
    standin_payload_release(s->cached_bytes);
    s->cached = copy;
    s->cached_bytes = bytes; /* takes over our reference */
    pthread_mutex_unlock(&lock);
}

EXPORT void NDIlib_send_send_audio_v2(NDIlib_send_instance_t instance, const NDIlib_audio_frame_v2_t *frame)
{
    sender *s = instance;
    if (!s || !frame || frame->sample_rate < 1 || frame->no_channels < 1 || frame->no_samples < 0
        || (frame->no_samples > 0 && !frame->p_data)
        || frame->channel_stride_in_bytes < frame->no_samples * 4)
        return;
    const size_t channel = (size_t)frame->no_samples * 4;
    standin_payload *bytes = standin_payload_new(channel * (size_t)frame->no_channels);
    if (!bytes)
        return;
    for (int c = 0; c < frame->no_channels; ++c)
        memcpy(bytes->data + c * channel, (const unsigned char *)frame->p_data + (size_t)c * frame->channel_stride_in_bytes,
               channel);

    NDIlib_audio_frame_v2_t copy = *frame;
    copy.p_data = (float *)bytes->data;
    copy.channel_stride_in_bytes = (int)channel;
    copy.p_metadata = NULL;
    pthread_mutex_lock(&lock);
    s->last_audio_timecode = frame->timecode == NDIlib_timecode_synthesize
                                 ? rising(s->last_audio_timecode, now_100ns())
                                 : frame->timecode;
    copy.timecode = s->last_audio_timecode;
    for (receiver *r = receivers; r; r = r->next) {
        if (r->connected == s)
            deliver_audio(r, &copy, bytes);
    }
    standin_payload_release(bytes);
    pthread_mutex_unlock(&lock);
}

EXPORT const NDIlib_source_t *NDIlib_send_get_source_name(NDIlib_send_instance_t instance)
{
    sender *s = instance;
    return s ? &s->source : NULL;
}

EXPORT int NDIlib_send_get_no_connections(NDIlib_send_instance_t instance, uint32_t timeoutMs)
{
    (void)timeoutMs;
    int n = 0;
    pthread_mutex_lock(&lock);
    for (receiver *r = receivers; r; r = r->next)
        n += r->connected == instance;
    pthread_mutex_unlock(&lock);
    return n;
}

EXPORT NDIlib_recv_instance_t NDIlib_recv_create_v3(const NDIlib_recv_create_v3_t *settings)
{
    receiver *r = calloc(1, sizeof(receiver));
    if (!r)
        return NULL;
    r->wanted = settings && settings->source_to_connect_to.p_ndi_name ? strdup(settings->source_to_connect_to.p_ndi_name)
                                                                       : NULL;
    r->last_timestamp = -1;
    pthread_mutex_lock(&lock);
    r->next = receivers;
    receivers = r;
    try_connect(r);
    pthread_mutex_unlock(&lock);
    return r;
}

EXPORT void NDIlib_recv_destroy(NDIlib_recv_instance_t instance)
{
    receiver *r = instance;
    if (!r)
        return;
    pthread_mutex_lock(&lock);
    for (receiver **link = &receivers; *link; link = &(*link)->next) {
        if (*link == r) {
            *link = r->next;
            break;
        }
    }
    /* Payloads are shared with the sender and other receivers: references change under the lock. */
    standin_queue_clear(&r->queue);
    pthread_mutex_unlock(&lock);
    free(r->wanted);
    free(r);
}

EXPORT int NDIlib_recv_capture_v2(NDIlib_recv_instance_t instance, NDIlib_video_frame_v2_t *video,
                                  NDIlib_audio_frame_v2_t *audio, NDIlib_metadata_frame_t *metadata,
                                  uint32_t timeoutMs)
{
    (void)metadata;
    receiver *r = instance;
    if (!r)
        return NDIlib_frame_type_error;
    const unsigned kinds = (video ? 1u << NDIlib_frame_type_video : 0) | (audio ? 1u << NDIlib_frame_type_audio : 0);
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        pthread_mutex_lock(&lock);
        try_connect(r);
        standin_entry *e = standin_queue_take(&r->queue, kinds);
        pthread_mutex_unlock(&lock);
        if (e) {
            /* The caller now holds the entry's reference to the bytes, until it frees the frame. */
            const int kind = e->kind;
            memcpy(kind == NDIlib_frame_type_video ? (void *)video : (void *)audio, e->header, e->header_size);
            free(e);
            return kind;
        }
        if (standin_elapsed_ms(&start) >= (long)timeoutMs)
            return NDIlib_frame_type_none;
        usleep(1000);
    }
}

EXPORT void NDIlib_recv_free_video_v2(NDIlib_recv_instance_t instance, const NDIlib_video_frame_v2_t *frame)
{
    (void)instance;
    if (!frame || !frame->p_data)
        return;
    pthread_mutex_lock(&lock);
    standin_payload_release(standin_payload_of(frame->p_data));
    pthread_mutex_unlock(&lock);
}

EXPORT void NDIlib_recv_free_audio_v2(NDIlib_recv_instance_t instance, const NDIlib_audio_frame_v2_t *frame)
{
    (void)instance;
    if (!frame || !frame->p_data)
        return;
    pthread_mutex_lock(&lock);
    standin_payload_release(standin_payload_of(frame->p_data));
    pthread_mutex_unlock(&lock);
}

EXPORT NDIlib_find_instance_t NDIlib_find_create_v2(const NDIlib_find_create_t *settings)
{
    (void)settings;
    return calloc(1, sizeof(finder));
}

static void finder_clear(finder *f)
{
    for (uint32_t i = 0; i < f->count; ++i)
        free(f->names[i]);
    free(f->names);
    free(f->sources);
    f->names = NULL;
    f->sources = NULL;
    f->count = 0;
}

EXPORT void NDIlib_find_destroy(NDIlib_find_instance_t instance)
{
    finder *f = instance;
    if (!f)
        return;
    finder_clear(f);
    free(f);
}

#ifndef STANDIN_INCOMPLETE
EXPORT const NDIlib_source_t *NDIlib_find_get_current_sources(NDIlib_find_instance_t instance, uint32_t *count)
{
    finder *f = instance;
    if (count)
        *count = 0;
    if (!f)
        return NULL;
    finder_clear(f);
    pthread_mutex_lock(&lock);
    uint32_t n = 0;
    for (sender *s = senders; s; s = s->next)
        ++n;
    f->sources = calloc(n ? n : 1, sizeof(NDIlib_source_t));
    f->names = calloc(n ? n : 1, sizeof(char *));
    for (sender *s = senders; s && f->sources && f->names; s = s->next) {
        f->names[f->count] = strdup(s->ndi_name);
        f->sources[f->count].p_ndi_name = f->names[f->count];
        f->count++;
    }
    pthread_mutex_unlock(&lock);
    if (count)
        *count = f->count;
    return f->sources;
}
#endif

/* Test hooks, looked up with dlsym by the tests. */

EXPORT int zelvo_standin_ndi_refuse_senders(int refuse)
{
    pthread_mutex_lock(&lock);
    const int previous = refuse_senders;
    refuse_senders = refuse;
    pthread_mutex_unlock(&lock);
    return previous;
}

/* The settings a sender was created with; 0 when no sender has that source name. */
EXPORT int zelvo_standin_ndi_sender_settings(const char *ndiName, int *clockVideo, int *clockAudio, int *hasGroups)
{
    int found = 0;
    pthread_mutex_lock(&lock);
    for (sender *s = senders; s && ndiName; s = s->next) {
        if (strcmp(s->ndi_name, ndiName) != 0)
            continue;
        *clockVideo = s->clock_video;
        *clockAudio = s->clock_audio;
        *hasGroups = s->has_groups;
        found = 1;
        break;
    }
    pthread_mutex_unlock(&lock);
    return found;
}

/* Every entry point must match the type the program resolves it with. */
static const NDIlib_initialize_fn check_initialize __attribute__((unused)) = NDIlib_initialize;
static const NDIlib_destroy_fn check_destroy __attribute__((unused)) = NDIlib_destroy;
static const NDIlib_version_fn check_version __attribute__((unused)) = NDIlib_version;
static const NDIlib_send_create_fn check_send_create __attribute__((unused)) = NDIlib_send_create;
static const NDIlib_send_destroy_fn check_send_destroy __attribute__((unused)) = NDIlib_send_destroy;
static const NDIlib_send_send_video_v2_fn check_video __attribute__((unused)) = NDIlib_send_send_video_v2;
static const NDIlib_send_send_audio_v2_fn check_audio __attribute__((unused)) = NDIlib_send_send_audio_v2;
static const NDIlib_send_get_source_name_fn check_name __attribute__((unused)) = NDIlib_send_get_source_name;
static const NDIlib_send_get_no_connections_fn check_connections __attribute__((unused)) = NDIlib_send_get_no_connections;
static const NDIlib_recv_create_v3_fn check_recv_create __attribute__((unused)) = NDIlib_recv_create_v3;
static const NDIlib_recv_destroy_fn check_recv_destroy __attribute__((unused)) = NDIlib_recv_destroy;
static const NDIlib_recv_capture_v2_fn check_capture __attribute__((unused)) = NDIlib_recv_capture_v2;
static const NDIlib_recv_free_video_v2_fn check_free_video __attribute__((unused)) = NDIlib_recv_free_video_v2;
static const NDIlib_recv_free_audio_v2_fn check_free_audio __attribute__((unused)) = NDIlib_recv_free_audio_v2;
static const NDIlib_find_create_v2_fn check_find_create __attribute__((unused)) = NDIlib_find_create_v2;
static const NDIlib_find_destroy_fn check_find_destroy __attribute__((unused)) = NDIlib_find_destroy;
#ifndef STANDIN_INCOMPLETE
static const NDIlib_find_get_current_sources_fn check_sources __attribute__((unused)) = NDIlib_find_get_current_sources;
#endif
