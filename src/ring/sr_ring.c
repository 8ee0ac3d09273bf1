#include "ring/sr_ring.h"

#include <stdalign.h>
#include <stdatomic.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "ring/sr_ring_testing.h"

/* 128 bytes covers the adjacent-line prefetch of current x86 and the line size of Apple
 * and some ARM cores, so the producer's and the consumer's stores never share a line. */
#define SR_LINE 128u
#define SR_HEADER_BYTES 24u

struct sr_ring {
    alignas(SR_LINE) _Atomic uint64_t write_index; /* stored only by the producer */
    alignas(SR_LINE) _Atomic uint64_t read_index;  /* stored only by the consumer */
    alignas(SR_LINE) _Atomic uint64_t overruns;
    alignas(SR_LINE) _Atomic uint64_t calls;
    /* Diagnostics read by any thread at any time; relaxed atomics keep those reads
     * well-defined without costing the producer anything over a plain store. */
    _Atomic uint32_t last_buffers;
    _Atomic uint32_t last_bytes;
    _Atomic uint32_t last_channels;
    uint32_t slot_count;
    uint32_t mask;
    uint32_t frames_per_slot;
    uint32_t channels;
    uint64_t slot_stride;
    unsigned char* slots;
};

_Static_assert(sizeof(struct sr_ring) == 512, "the control block is one 512-byte block");
_Static_assert(offsetof(struct sr_ring, read_index) == 1 * SR_LINE, "own line");
_Static_assert(offsetof(struct sr_ring, overruns) == 2 * SR_LINE, "own line");
_Static_assert(offsetof(struct sr_ring, calls) == 3 * SR_LINE, "own line");
_Static_assert(sizeof(sr_slot) == SR_HEADER_BYTES, "planes start at byte 24 of a slot");
_Static_assert(offsetof(sr_slot, frames) == 8 && offsetof(sr_slot, channels) == 12 &&
                   offsetof(sr_slot, flags) == 16,
               "slot header layout is shared with the consumer");
_Static_assert(ATOMIC_LLONG_LOCK_FREE == 2, "the realtime producer needs lock-free 64-bit atomics");

static uint32_t round_up_slot_count(uint32_t requested) {
    uint64_t count = 2;
    while (count < requested) {
        count <<= 1;
    }
    return (uint32_t)count;
}

/* Bytes from one slot to the next: header plus planes, rounded up to whole lines.
 * Returns 0 when that does not fit in 64 bits. */
static uint64_t slot_stride_for(uint32_t frames_per_slot, uint32_t channels) {
    const uint64_t samples = (uint64_t)channels * frames_per_slot;
    if (samples > (UINT64_MAX - SR_HEADER_BYTES - (SR_LINE - 1)) / sizeof(float)) {
        return 0;
    }
    const uint64_t bytes = samples * sizeof(float) + SR_HEADER_BYTES;
    return (bytes + SR_LINE - 1) / SR_LINE * SR_LINE;
}

static void* zeroed_lines(uint64_t bytes) {
    if (bytes > SIZE_MAX) {
        return NULL;
    }
    void* memory = aligned_alloc(SR_LINE, (size_t)bytes);
    if (memory != NULL) {
        /* Writing every page now also spares the realtime producer a page fault on the
         * first use of each slot. */
        memset(memory, 0, (size_t)bytes);
    }
    return memory;
}

sr_ring* sr_ring_create(uint32_t slot_count, uint32_t frames_per_slot, uint32_t channels) {
    if (frames_per_slot == 0 || channels == 0 || slot_count > SR_RING_MAX_SLOTS) {
        return NULL;
    }
    const uint64_t stride = slot_stride_for(frames_per_slot, channels);
    const uint32_t count = round_up_slot_count(slot_count);
    if (stride == 0 || stride > UINT64_MAX / count) {
        return NULL;
    }
    sr_ring* ring = zeroed_lines(sizeof(struct sr_ring));
    if (ring == NULL) {
        return NULL;
    }
    ring->slots = zeroed_lines(stride * count);
    if (ring->slots == NULL) {
        free(ring);
        return NULL;
    }
    ring->slot_count = count;
    ring->mask = count - 1;
    ring->frames_per_slot = frames_per_slot;
    ring->channels = channels;
    ring->slot_stride = stride;
    atomic_init(&ring->write_index, 0);
    atomic_init(&ring->read_index, 0);
    atomic_init(&ring->overruns, 0);
    atomic_init(&ring->calls, 0);
    atomic_init(&ring->last_buffers, 0);
    atomic_init(&ring->last_bytes, 0);
    atomic_init(&ring->last_channels, 0);
    return ring;
}

void sr_ring_destroy(sr_ring* ring) {
    if (ring == NULL) {
        return;
    }
    free(ring->slots);
    free(ring);
}

static unsigned char* slot_at(const sr_ring* ring, uint64_t index) {
    return ring->slots + (index & ring->mask) * ring->slot_stride;
}

sr_slot* sr_ring_begin_write(sr_ring* ring) {
    const uint64_t w = atomic_load_explicit(&ring->write_index, memory_order_relaxed);
    const uint64_t r = atomic_load_explicit(&ring->read_index, memory_order_acquire);
    if (w - r >= (uint64_t)ring->slot_count - 1) {
        return NULL;
    }
    return (sr_slot*)slot_at(ring, w);
}

static unsigned char* plane_at(const sr_ring* ring, const sr_slot* slot, uint32_t plane) {
    if (plane >= ring->channels) {
        return NULL;
    }
    const uint64_t offset =
        SR_HEADER_BYTES + (uint64_t)plane * ring->frames_per_slot * sizeof(float);
    return (unsigned char*)slot + offset;
}

float* sr_slot_plane(const sr_ring* ring, sr_slot* slot, uint32_t plane) {
    return (float*)plane_at(ring, slot, plane);
}

void sr_ring_commit_write(sr_ring* ring) {
    const uint64_t w = atomic_load_explicit(&ring->write_index, memory_order_relaxed);
    atomic_store_explicit(&ring->write_index, w + 1, memory_order_release);
}

void sr_ring_note_overrun(sr_ring* ring) {
    atomic_fetch_add_explicit(&ring->overruns, 1, memory_order_relaxed);
}

void sr_ring_note_call(sr_ring* ring) {
    atomic_fetch_add_explicit(&ring->calls, 1, memory_order_relaxed);
}

void sr_ring_note_shape(sr_ring* ring, uint32_t buffers, uint32_t bytes, uint32_t channels) {
    atomic_store_explicit(&ring->last_buffers, buffers, memory_order_relaxed);
    atomic_store_explicit(&ring->last_bytes, bytes, memory_order_relaxed);
    atomic_store_explicit(&ring->last_channels, channels, memory_order_relaxed);
}

const sr_slot* sr_ring_begin_read(sr_ring* ring) {
    const uint64_t r = atomic_load_explicit(&ring->read_index, memory_order_relaxed);
    const uint64_t w = atomic_load_explicit(&ring->write_index, memory_order_acquire);
    if (w == r) {
        return NULL;
    }
    return (const sr_slot*)slot_at(ring, r);
}

const float* sr_slot_plane_const(const sr_ring* ring, const sr_slot* slot, uint32_t plane) {
    return (const float*)plane_at(ring, slot, plane);
}

void sr_ring_commit_read(sr_ring* ring) {
    const uint64_t r = atomic_load_explicit(&ring->read_index, memory_order_relaxed);
    atomic_store_explicit(&ring->read_index, r + 1, memory_order_release);
}

uint64_t sr_ring_writes(const sr_ring* ring) {
    return atomic_load_explicit(&ring->write_index, memory_order_acquire);
}

uint32_t sr_ring_depth(const sr_ring* ring) {
    const uint64_t w = atomic_load_explicit(&ring->write_index, memory_order_acquire);
    const uint64_t r = atomic_load_explicit(&ring->read_index, memory_order_acquire);
    return (uint32_t)(w - r);
}

uint64_t sr_ring_overruns(const sr_ring* ring) {
    return atomic_load_explicit(&ring->overruns, memory_order_relaxed);
}

uint64_t sr_ring_calls(const sr_ring* ring) {
    return atomic_load_explicit(&ring->calls, memory_order_relaxed);
}

uint32_t sr_ring_last_buffers(const sr_ring* ring) {
    return atomic_load_explicit(&ring->last_buffers, memory_order_relaxed);
}

uint32_t sr_ring_last_bytes(const sr_ring* ring) {
    return atomic_load_explicit(&ring->last_bytes, memory_order_relaxed);
}

uint32_t sr_ring_last_channels(const sr_ring* ring) {
    return atomic_load_explicit(&ring->last_channels, memory_order_relaxed);
}

void sr_ring_testing_start_at(sr_ring* ring, uint64_t index) {
    atomic_store_explicit(&ring->write_index, index, memory_order_relaxed);
    atomic_store_explicit(&ring->read_index, index, memory_order_release);
}
