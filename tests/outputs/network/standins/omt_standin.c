/* A stand-in for the OMT runtime, for tests on machines without it. Senders and receivers meet in
 * process: a sender gets a unique address, a receiver created with that address is handed every
 * frame of the kinds it asked for. Pictures travel through the video codec library (libvmx), which
 * this library needs loaded first, as the real runtime does; sound travels as planar float.
 *
 * Built variant: STANDIN_INCOMPLETE leaves out one entry point. */
#define _GNU_SOURCE
#include "outputs/network/OmtRuntimeTypes.h"
#include "standin_queue.h"
#include "vmx_standin.h"

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#define EXPORT __attribute__((visibility("default")))

enum { MAX_QUEUED_VIDEO = 4, MAX_QUEUED_AUDIO = 16, FIRST_PORT = 6400 };

struct omt_send_s {
    char address[96];
    int quality;
    struct omt_send_s *next;
};

/* Queued frames keep the sender's OMTMediaFrame as their header; the bytes of a picture are its
 * encoding, of sound planar float. */
struct omt_receive_s {
    char *address;
    omt_send_t *connected;
    int frame_types;
    int preferred_format;
    standin_queue queue;
    OMTMediaFrame current; /* the frame last handed out, owned until the next call */
    unsigned char *current_data;
    struct omt_receive_s *next;
};

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static omt_send_t *senders;
static omt_receive_t *receivers;
static int next_port = FIRST_PORT;
static int refuse_senders;
static int logging_configured;
static char *logging_file;
#ifndef STANDIN_INCOMPLETE
static char **discovered;
static int discovered_count;
#endif

static void try_connect(omt_receive_t *r)
{
    if (r->connected || !r->address)
        return;
    for (omt_send_t *s = senders; s; s = s->next) {
        if (strcmp(s->address, r->address) == 0) {
            r->connected = s;
            return;
        }
    }
}

EXPORT omt_send_t *omt_send_create(const char *name, int quality)
{
    if (!name || !name[0])
        return NULL;
    pthread_mutex_lock(&lock);
    omt_send_t *s = refuse_senders ? NULL : calloc(1, sizeof(omt_send_t));
    if (s) {
        char host[64] = "standin";
        gethostname(host, sizeof host - 1);
        host[sizeof host - 1] = 0;
        snprintf(s->address, sizeof s->address, "omt://%s:%d", host, next_port++);
        s->quality = quality;
        s->next = senders;
        senders = s;
    }
    pthread_mutex_unlock(&lock);
    return s;
}

EXPORT void omt_send_destroy(omt_send_t *instance)
{
    if (!instance)
        return;
    pthread_mutex_lock(&lock);
    for (omt_send_t **link = &senders; *link; link = &(*link)->next) {
        if (*link == instance) {
            *link = instance->next;
            break;
        }
    }
    for (omt_receive_t *r = receivers; r; r = r->next) {
        if (r->connected == instance)
            r->connected = NULL;
    }
    pthread_mutex_unlock(&lock);
    free(instance);
}

static standin_payload *encode_video(const OMTMediaFrame *f)
{
    if (f->Codec != OMTCodec_BGRA || f->Width < 1 || f->Height < 1 || f->Stride < f->Width * 4 || !f->Data
        || (int64_t)f->DataLength < (int64_t)f->Stride * f->Height)
        return NULL;
    standin_payload *p = standin_payload_new(vmx_encoded_bound(f->Width, f->Height));
    if (p)
        p->size = vmx_encode_bgra(f->Data, f->Width, f->Height, f->Stride, p->data);
    return p;
}

static standin_payload *copy_audio(const OMTMediaFrame *f)
{
    const int64_t needed = (int64_t)f->Channels * f->SamplesPerChannel * 4;
    if (f->Codec != OMTCodec_FPA1 || f->SampleRate < 1 || f->Channels < 1 || f->SamplesPerChannel < 0
        || (needed > 0 && !f->Data) || f->DataLength < needed)
        return NULL;
    standin_payload *p = standin_payload_new((size_t)needed);
    if (p && needed > 0)
        memcpy(p->data, f->Data, (size_t)needed);
    return p;
}

EXPORT int omt_send(omt_send_t *instance, OMTMediaFrame *frame)
{
    if (!instance || !frame)
        return 0;
    pthread_mutex_lock(&lock);
    int listeners = 0;
    for (omt_receive_t *r = receivers; r; r = r->next)
        listeners += r->connected == instance && (r->frame_types & frame->Type);
    pthread_mutex_unlock(&lock);
    if (!listeners) /* nobody to encode for */
        return frame->DataLength;
    standin_payload *bytes = NULL;
    if (frame->Type == OMTFrameType_Video)
        bytes = encode_video(frame);
    else if (frame->Type == OMTFrameType_Audio)
        bytes = copy_audio(frame);
    if (!bytes)
        return 0;
    OMTMediaFrame header = *frame;
    header.Data = NULL;
    header.DataLength = (int)bytes->size;
    pthread_mutex_lock(&lock);
    for (omt_receive_t *r = receivers; r; r = r->next) {
        if (r->connected == instance && (r->frame_types & frame->Type))
            standin_queue_push(&r->queue, frame->Type, &header, sizeof header, bytes,
                               frame->Type == OMTFrameType_Video ? MAX_QUEUED_VIDEO : MAX_QUEUED_AUDIO);
    }
    standin_payload_release(bytes);
    pthread_mutex_unlock(&lock);
    return frame->DataLength;
}

EXPORT int omt_send_getaddress(omt_send_t *instance, char *address, int maxLength)
{
    if (!instance || !address || maxLength < 1)
        return 0;
    const int length = snprintf(address, (size_t)maxLength, "%s", instance->address);
    return length < maxLength ? length : maxLength - 1;
}

EXPORT int omt_send_connections(omt_send_t *instance)
{
    int n = 0;
    pthread_mutex_lock(&lock);
    for (omt_receive_t *r = receivers; r; r = r->next)
        n += r->connected == instance;
    pthread_mutex_unlock(&lock);
    return n;
}

EXPORT omt_receive_t *omt_receive_create(const char *address, int frameTypes, int preferredVideoFormat, int flags)
{
    (void)flags;
    omt_receive_t *r = calloc(1, sizeof(omt_receive_t));
    if (!r)
        return NULL;
    r->address = address ? strdup(address) : NULL;
    r->frame_types = frameTypes;
    r->preferred_format = preferredVideoFormat;
    pthread_mutex_lock(&lock);
    r->next = receivers;
    receivers = r;
    try_connect(r);
    pthread_mutex_unlock(&lock);
    return r;
}

static void release_current(omt_receive_t *r)
{
    free(r->current_data);
    r->current_data = NULL;
    memset(&r->current, 0, sizeof r->current);
}

EXPORT void omt_receive_destroy(omt_receive_t *instance)
{
    if (!instance)
        return;
    pthread_mutex_lock(&lock);
    for (omt_receive_t **link = &receivers; *link; link = &(*link)->next) {
        if (*link == instance) {
            *link = instance->next;
            break;
        }
    }
    standin_queue_clear(&instance->queue);
    pthread_mutex_unlock(&lock);
    release_current(instance);
    free(instance->address);
    free(instance);
}

/* Turns a queued entry into the receiver's current frame: pictures decoded to BGRA. */
static int unpack(omt_receive_t *r, const standin_entry *e)
{
    memcpy(&r->current, e->header, sizeof r->current);
    if (r->current.Type == OMTFrameType_Video) {
        const int stride = r->current.Width * 4;
        const size_t size = (size_t)stride * (size_t)r->current.Height;
        r->current_data = malloc(size);
        if (!r->current_data
            || !vmx_decode_bgra(e->bytes->data, e->bytes->size, r->current_data, r->current.Width,
                                r->current.Height, stride))
            return 0;
        r->current.Codec = OMTCodec_BGRA;
        r->current.Stride = stride;
        r->current.DataLength = (int)size;
    } else {
        r->current_data = malloc(e->bytes->size ? e->bytes->size : 1);
        if (!r->current_data)
            return 0;
        memcpy(r->current_data, e->bytes->data, e->bytes->size);
    }
    r->current.Data = r->current_data;
    return 1;
}

EXPORT OMTMediaFrame *omt_receive(omt_receive_t *instance, int frameTypes, int timeoutMs)
{
    if (!instance)
        return NULL;
    release_current(instance);
    const unsigned kinds = ((unsigned)frameTypes & OMTFrameType_Video ? 1u << OMTFrameType_Video : 0)
                         | ((unsigned)frameTypes & OMTFrameType_Audio ? 1u << OMTFrameType_Audio : 0);
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        pthread_mutex_lock(&lock);
        try_connect(instance);
        standin_entry *e = standin_queue_take(&instance->queue, kinds);
        pthread_mutex_unlock(&lock);
        if (e) {
            const int ok = unpack(instance, e);
            pthread_mutex_lock(&lock);
            standin_entry_free(e);
            pthread_mutex_unlock(&lock);
            if (ok)
                return &instance->current;
            release_current(instance);
            continue;
        }
        if (standin_elapsed_ms(&start) >= timeoutMs)
            return NULL;
        usleep(1000);
    }
}

#ifndef STANDIN_INCOMPLETE
EXPORT char **omt_discovery_getaddresses(int *count)
{
    pthread_mutex_lock(&lock);
    for (int i = 0; i < discovered_count; ++i)
        free(discovered[i]);
    free(discovered);
    discovered_count = 0;
    int n = 0;
    for (omt_send_t *s = senders; s; s = s->next)
        ++n;
    discovered = calloc((size_t)n + 1, sizeof(char *));
    for (omt_send_t *s = senders; s && discovered; s = s->next)
        discovered[discovered_count++] = strdup(s->address);
    if (count)
        *count = discovered_count;
    pthread_mutex_unlock(&lock);
    return discovered;
}
#endif

EXPORT void omt_setloggingfilename(const char *filename)
{
    pthread_mutex_lock(&lock);
    free(logging_file);
    logging_file = filename ? strdup(filename) : NULL;
    logging_configured = 1;
    pthread_mutex_unlock(&lock);
}

EXPORT void omt_shutdown(void)
{
    pthread_mutex_lock(&lock);
    free(logging_file);
    logging_file = NULL;
    logging_configured = 0;
    pthread_mutex_unlock(&lock);
}

/* Test hooks, looked up with dlsym by the tests. */

EXPORT int zelvo_standin_omt_refuse_senders(int refuse)
{
    pthread_mutex_lock(&lock);
    const int previous = refuse_senders;
    refuse_senders = refuse;
    pthread_mutex_unlock(&lock);
    return previous;
}

/* The quality a sender was created with; -1 when no sender has that address. */
EXPORT int zelvo_standin_omt_sender_quality(const char *address)
{
    int quality = -1;
    pthread_mutex_lock(&lock);
    for (omt_send_t *s = senders; s && address; s = s->next) {
        if (strcmp(s->address, address) == 0)
            quality = s->quality;
    }
    pthread_mutex_unlock(&lock);
    return quality;
}

/* 1 once logging was configured (and to no file: 2 means a file was named). */
EXPORT int zelvo_standin_omt_logging_state(void)
{
    pthread_mutex_lock(&lock);
    const int state = logging_configured ? (logging_file ? 2 : 1) : 0;
    pthread_mutex_unlock(&lock);
    return state;
}

static const omt_send_create_fn check_send_create __attribute__((unused)) = omt_send_create;
static const omt_send_destroy_fn check_send_destroy __attribute__((unused)) = omt_send_destroy;
static const omt_send_fn check_send __attribute__((unused)) = omt_send;
static const omt_send_getaddress_fn check_getaddress __attribute__((unused)) = omt_send_getaddress;
static const omt_send_connections_fn check_connections __attribute__((unused)) = omt_send_connections;
static const omt_receive_create_fn check_receive_create __attribute__((unused)) = omt_receive_create;
static const omt_receive_destroy_fn check_receive_destroy __attribute__((unused)) = omt_receive_destroy;
static const omt_receive_fn check_receive __attribute__((unused)) = omt_receive;
#ifndef STANDIN_INCOMPLETE
static const omt_discovery_getaddresses_fn check_discovery __attribute__((unused)) = omt_discovery_getaddresses;
#endif
static const omt_setloggingfilename_fn check_logging __attribute__((unused)) = omt_setloggingfilename;
static const omt_shutdown_fn check_shutdown __attribute__((unused)) = omt_shutdown;
