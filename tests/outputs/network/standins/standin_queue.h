/* What both stand-in runtimes share: frame bytes referenced by a sender and by every receiver that
 * still holds the frame, and a receiver's queue of frames. Nothing here locks: the callers hold
 * their runtime's lock around every call. */
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <time.h>

typedef struct standin_payload {
    int refs;
    size_t size;
    unsigned char data[];
} standin_payload;

/* One reference; one spare byte after size, zero, so text can follow the bytes. */
standin_payload *standin_payload_new(size_t size);
void standin_payload_release(standin_payload *payload);
/* The payload whose data starts at `data`. */
standin_payload *standin_payload_of(const void *data);

/* A queued frame: its kind, the runtime's own frame description (header) and its bytes. */
typedef struct standin_entry {
    int kind;
    standin_payload *bytes;
    struct standin_entry *next;
    size_t header_size;
    _Alignas(max_align_t) unsigned char header[];
} standin_entry;

typedef struct standin_queue {
    standin_entry *head;
    standin_entry *tail;
} standin_queue;

/* Appends a copy of the header with a new reference to the bytes. While `limit` entries of that
 * kind are queued, the oldest of them is dropped first, as a receiver that does not keep up loses
 * frames. Returns the queued entry (NULL when out of memory). */
standin_entry *standin_queue_push(standin_queue *queue, int kind, const void *header, size_t header_size,
                                  standin_payload *bytes, int limit);
/* Takes the oldest entry whose kind has its bit (1 << kind) in `kinds`; NULL when there is none. */
standin_entry *standin_queue_take(standin_queue *queue, unsigned kinds);
void standin_queue_clear(standin_queue *queue);
/* Frees the entry and its reference to the bytes. */
void standin_entry_free(standin_entry *entry);

/* Milliseconds on the monotonic clock since `start`. */
long standin_elapsed_ms(const struct timespec *start);
