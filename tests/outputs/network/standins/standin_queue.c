#include "standin_queue.h"

#include <stdlib.h>
#include <string.h>

standin_payload *standin_payload_new(size_t size)
{
    standin_payload *p = malloc(sizeof(standin_payload) + size + 1);
    if (!p)
        return NULL;
    p->refs = 1;
    p->size = size;
    p->data[size] = 0;
    return p;
}

void standin_payload_release(standin_payload *payload)
{
    if (payload && --payload->refs == 0)
        free(payload);
}

standin_payload *standin_payload_of(const void *data)
{
    return (standin_payload *)((unsigned char *)data - offsetof(standin_payload, data));
}

static int count_kind(const standin_queue *queue, int kind)
{
    int n = 0;
    for (const standin_entry *e = queue->head; e; e = e->next)
        n += e->kind == kind;
    return n;
}

static standin_entry *unlink_first(standin_queue *queue, unsigned kinds)
{
    standin_entry *previous = NULL;
    for (standin_entry *e = queue->head; e; previous = e, e = e->next) {
        if (!((1u << e->kind) & kinds))
            continue;
        if (previous)
            previous->next = e->next;
        else
            queue->head = e->next;
        if (queue->tail == e)
            queue->tail = previous;
        e->next = NULL;
        return e;
    }
    return NULL;
}

standin_entry *standin_queue_push(standin_queue *queue, int kind, const void *header, size_t header_size,
                                  standin_payload *bytes, int limit)
{
    standin_entry *e = malloc(sizeof(standin_entry) + header_size);
    if (!e)
        return NULL;
    e->kind = kind;
    e->bytes = bytes;
    e->next = NULL;
    e->header_size = header_size;
    memcpy(e->header, header, header_size);
    bytes->refs++;
    while (count_kind(queue, kind) >= limit)
        standin_entry_free(unlink_first(queue, 1u << kind));
    if (queue->tail)
        queue->tail->next = e;
    else
        queue->head = e;
    queue->tail = e;
    return e;
}

standin_entry *standin_queue_take(standin_queue *queue, unsigned kinds)
{
    return unlink_first(queue, kinds);
}

void standin_queue_clear(standin_queue *queue)
{
    while (queue->head)
        standin_entry_free(unlink_first(queue, ~0u));
}

void standin_entry_free(standin_entry *entry)
{
    if (!entry)
        return;
    standin_payload_release(entry->bytes);
    free(entry);
}

long standin_elapsed_ms(const struct timespec *start)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - start->tv_sec) * 1000 + (now.tv_nsec - start->tv_nsec) / 1000000;
}
